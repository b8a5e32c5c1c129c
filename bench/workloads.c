/* Guest workloads for the emulator's wall time, built the same way for zylos
   and as a plain static i386 Linux program: WORKLOAD N runs N rounds of
     sieve     the primes below 2^20, a byte per number;
     snprintf  100 formatted lines;
     string    the string and memory routines over a 4 KiB buffer.
   The exit status folds the results together, so nothing is optimised away. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SIEVE_BYTES (1u << 20)
#define TEXT_BYTES 4096u

static unsigned char composite[SIEVE_BYTES];
static char text[TEXT_BYTES], copy[TEXT_BYTES];

static unsigned sieve(void)
{
    unsigned primes = 0;
    memset(composite, 0, sizeof composite);
    for (unsigned i = 2; i < SIEVE_BYTES; ++i) {
        if (composite[i])
            continue;
        ++primes;
        for (unsigned j = i * 2; j < SIEVE_BYTES; j += i)
            composite[j] = 1;
    }
    return primes;
}

static unsigned format(void)
{
    char line[96];
    unsigned total = 0;
    for (int i = 0; i < 100; ++i)
        total += (unsigned)snprintf(line, sizeof line, "%d %s %08x %c|%-6s|", i * 7919 - 500, "item", i * 2654435761u,
                                    'a' + i % 26, "pad");
    return total;
}

static unsigned strings(void)
{
    unsigned total = 0;
    for (unsigned i = 0; i + 1 < TEXT_BYTES; ++i)
        text[i] = (char)('a' + i % 23);
    text[TEXT_BYTES - 1] = 0;
    memcpy(copy, text, TEXT_BYTES);
    total += (unsigned)strlen(copy);
    total += strcmp(copy, text) == 0;
    total += strchr(copy, 'w') != 0;
    total += strstr(copy, "uvwab") != 0;
    memmove(copy + 1, copy, TEXT_BYTES - 2);
    memset(copy, 'x', 64);
    total += (unsigned)strlen(copy);
    return total;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    unsigned (*work)(void) = !strcmp(argv[1], "sieve")      ? sieve
                             : !strcmp(argv[1], "snprintf") ? format
                             : !strcmp(argv[1], "string")   ? strings
                                                            : 0;
    if (!work)
        return 2;
    unsigned long rounds = strtoul(argv[2], 0, 10), sum = 0;
    for (unsigned long r = 0; r < rounds; ++r)
        sum += work();
    return sum == 1;
}
