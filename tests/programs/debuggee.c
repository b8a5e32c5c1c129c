/* A guest for the debugger, profiler and fault-report tests, built with -g:
   main calls scale, prints the result and exits with it; "fault" makes strlen
   read an unmapped address; "deep N" nests N calls of descend; "long" calls a
   function whose name is 1100 bytes long. */
#include <stdio.h>
#include <string.h>

__attribute__((noinline)) int scale(int value, int factor)
{
    int product = value * factor;
    return product + 1;
}

volatile int deepest;

/* The store after the call keeps the recursion a recursion. */
__attribute__((noinline)) int descend(int depth)
{
    int below = depth > 1 ? descend(depth - 1) : 0;
    deepest = depth;
    return below + 1;
}

/* The name's 1100 bytes, where a profile shows at most 1 KiB of one. */
#define N10 "nnnnnnnnnn"
#define N100 N10 N10 N10 N10 N10 N10 N10 N10 N10 N10
int long_named(int value) __asm__(N100 N100 N100 N100 N100 N100 N100 N100 N100 N100 N100);
__attribute__((noinline)) int long_named(int value)
{
    deepest = value;
    return value;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "long") == 0)
        return long_named(0);
    if (argc > 1 && strcmp(argv[1], "fault") == 0)
        return (int)strlen((const char *)0x40000000);
    if (argc > 2 && strcmp(argv[1], "deep") == 0) {
        int depth = 0;
        for (const char *digit = argv[2]; *digit; ++digit)
            depth = depth * 10 + (*digit - '0');
        return descend(depth) == depth ? 0 : 1;
    }
    int result = scale(argc + 4, 6);
    printf("%d\n", result);
    return result;
}
