/* Native speed of hot routines, timed by the program itself with the
   time-stamp counter: for each routine the fastest of several rounds, in
   counter ticks per call, one "name ticks" line each. The same source is
   built for zylos (run with zylos-run --native) and as a plain Linux program
   of each peer library; calls are never turned into compiler built-ins. */
#include <stdio.h>
#include <string.h>

#define BIG (1 << 20)
#define ROUNDS 9

/* Page-aligned, at the same distance in every build: a copy's speed depends
   on where its buffers lie. */
static struct {
    char src[BIG], dst[BIG];
} area __attribute__((aligned(4096)));
#define src area.src
#define dst area.dst
static char text[1024];
static char out[64];
static volatile unsigned sink;

static unsigned long long ticks(void)
{
    unsigned lo, hi;
    __asm__ volatile("lfence\n\trdtsc" : "=a"(lo), "=d"(hi));
    return (unsigned long long)hi << 32 | lo;
}

static void op_memcpy(unsigned n)
{
    memcpy(dst, src, n);
}
static void op_memset(unsigned n)
{
    memset(dst, n & 0xFF, n);
}
static void op_strlen(unsigned n)
{
    sink = (unsigned)strlen(text) + n;
}
static void op_snprintf(unsigned n)
{
    sink = (unsigned)snprintf(out, sizeof out, "%d %s %08x", 12345, "hello", 0xbeef) + n;
}

static const struct {
    const char *name;
    void (*op)(unsigned);
    unsigned arg, calls;
} runs[] = {
    {"memcpy_4k", op_memcpy, 4096, 2000}, {"memcpy_1m", op_memcpy, BIG, 20},   {"memset_4k", op_memset, 4096, 2000},
    {"memset_1m", op_memset, BIG, 20},    {"strlen_1023", op_strlen, 0, 2000}, {"snprintf", op_snprintf, 0, 2000},
};

int main(void)
{
    memset(text, 'x', sizeof text - 1);
    memset(src, 1, sizeof src);
    for (unsigned r = 0; r < sizeof runs / sizeof runs[0]; r++) {
        unsigned long long best = ~0ull;
        for (int round = 0; round < ROUNDS; round++) {
            const unsigned long long start = ticks();
            for (unsigned i = 0; i < runs[r].calls; i++)
                runs[r].op(runs[r].arg);
            const unsigned long long took = ticks() - start;
            if (took < best)
                best = took;
        }
        printf("%s %u\n", runs[r].name, (unsigned)(best / runs[r].calls));
    }
    return 0;
}
