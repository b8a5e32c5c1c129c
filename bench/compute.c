/* A compute-bound guest: N (the first argument) rounds of an integer hash
   over a 4 KiB table, no kernel call while it runs. The same source is built
   for zylos and as a plain static Linux program. */
#include <stdlib.h>

static unsigned table[1024];

int main(int argc, char **argv)
{
    unsigned long rounds = argc > 1 ? strtoul(argv[1], 0, 10) : 1000;
    unsigned h = 2166136261u;
    for (unsigned long r = 0; r < rounds; ++r)
        for (unsigned i = 0; i < 1024; ++i) {
            h = (h ^ table[i] ^ i) * 16777619u;
            table[i] = h;
        }
    return h == 1;
}
