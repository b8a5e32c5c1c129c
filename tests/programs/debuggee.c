/* A guest for the debugger, profiler and fault-report tests, built with -g:
   main calls scale, prints the result and exits with it; "fault" makes strlen
   read an unmapped address. */
#include <stdio.h>
#include <string.h>

__attribute__((noinline)) int scale(int value, int factor)
{
    int product = value * factor;
    return product + 1;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "fault") == 0)
        return (int)strlen((const char *)0x40000000);
    int result = scale(argc + 4, 6);
    printf("%d\n", result);
    return result;
}
