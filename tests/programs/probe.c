/* probe: a guest for the runner's own tests. It reaches the kernel with
   int 0x80 directly, so it depends on nothing in the library.

     probe echo ARG...   writes argv[0] and each ARG on a line of its own
     probe exit N        exits with status N
     probe cat           copies standard input to standard output
     probe spin          loops forever
     probe sleepy        sleeps 0.1 s at a time, forever

   The probe_* functions are called one by one by the harness tests. */

#include <zylos/syscalls.h>

static int sys(int nr, int a, int b, int c)
{
    int r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}

static int same(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

static unsigned length(const char *s)
{
    unsigned n = 0;
    while (s[n])
        n++;
    return n;
}

static int number(const char *s)
{
    int sign = 1, n = 0;
    if (*s == '-')
        sign = -1, s++;
    while (*s >= '0' && *s <= '9')
        n = n * 10 + (*s++ - '0');
    return sign * n;
}

/* Retries short writes, as any careful program must. */
static void say(const char *s, unsigned n)
{
    while (n > 0) {
        int r = sys(SYS_WRITE, 1, (int)s, (int)n);
        if (r <= 0)
            return;
        s += r;
        n -= (unsigned)r;
    }
}

#define KEEP __attribute__((used, retain))

KEEP int probe_add(int a, int b) { return a + b; }

KEEP int probe_sum(int n, ...)
{
    __builtin_va_list ap;
    __builtin_va_start(ap, n);
    int total = 0;
    while (n-- > 0)
        total += __builtin_va_arg(ap, int);
    __builtin_va_end(ap);
    return total;
}

KEEP unsigned long long probe_mul64(unsigned long long a, unsigned b) { return a * b; }

KEEP long double probe_half(long double x) { return x / 2; }

KEEP double probe_sqrt2(void) { return 1.4142135623730951; }

/* Sets the x87 control word when asked; returns it. */
KEEP unsigned probe_fpu_control(unsigned set)
{
    unsigned short cw = (unsigned short)set;
    if (set)
        __asm__ volatile("fldcw %0" : : "m"(cw));
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return cw;
}

/* An indexed x87 load, multiply and store, as compiled code uses them. */
KEEP double probe_x87_indexed(int i)
{
    static const double table[2] = {1.5, 2.5};
    double out;
    __asm__ volatile("fldl (%1,%2,8)\n\tfadd %%st(0), %%st(0)\n\tfstpl %0" : "=m"(out) : "r"(table), "r"(i));
    return out;
}

static int counter = 40;
KEEP int probe_count(void) { return ++counter; }

KEEP int probe_load(const volatile char *p) { return *p; }

KEEP int probe_sys(int nr, int a, int b, int c) { return sys(nr, a, b, c); }

KEEP unsigned probe_gs_word(unsigned offset)
{
    unsigned v;
    __asm__ volatile("movl %%gs:(%1), %0" : "=r"(v) : "r"(offset));
    return v;
}

KEEP void probe_spin(void)
{
    for (;;) {
    }
}

int main(int argc, char **argv)
{
    const char *what = argc > 1 ? argv[1] : "";
    if (same(what, "echo")) {
        for (int i = 0; argv[i]; i++) { /* to the null that ends the vector */
            if (i == 1)
                continue;
            say(argv[i], length(argv[i]));
            say("\n", 1);
        }
        return 0;
    }
    if (same(what, "exit") && argc > 2)
        sys(SYS_EXIT, number(argv[2]), 0, 0);
    if (same(what, "cat")) {
        static char buf[4096];
        int n;
        while ((n = sys(SYS_READ, 0, (int)buf, sizeof buf)) > 0)
            say(buf, (unsigned)n);
        return n < 0;
    }
    if (same(what, "fpu"))
        return probe_fpu_control(0) == 0x37F && probe_x87_indexed(1) == 5.0 ? 0 : 1;
    if (same(what, "spin"))
        probe_spin();
    if (same(what, "sleepy"))
        for (;;)
            sys(SYS_USLEEP, 100000, 0, 0);
    static const char usage[] = "usage: probe echo|exit|cat|fpu|spin|sleepy ...\n";
    say(usage, sizeof usage - 1);
    return 2;
}
