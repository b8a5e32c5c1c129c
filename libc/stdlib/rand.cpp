// The classic 32-bit linear congruential generator with 15-bit results. A
// program that never calls srand is seeded from the time-stamp counter on
// its first rand instead of getting the fixed sequence of seed 1.
#include <stdlib.h>

#include "stdlib/internal.h"

extern "C" {
unsigned g_rand_state = 1;
int g_rand_seeded = 0;
}

namespace {

unsigned long long read_time_stamp()
{
    unsigned lo;
    unsigned hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}

unsigned mix(unsigned x)
{
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// The stack and image addresses add a little per-process variation on top
// of the counter.
unsigned seed_from_counter(const void *stack_local)
{
    unsigned long long tsc = read_time_stamp();
    unsigned lo = static_cast<unsigned>(tsc);
    unsigned hi = static_cast<unsigned>(tsc >> 32);
    unsigned x = lo ^ (hi * 1664525u) ^ reinterpret_cast<unsigned>(stack_local) ^
                 reinterpret_cast<unsigned>(&g_heap_used) ^ 0x9E3779B9u;
    x = mix(x);
    return x ? x : 1u;
}

int next_value()
{
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return static_cast<int>((g_rand_state >> 16) & 0x7FFFu);
}

} // namespace

extern "C" {

void srand(unsigned seed)
{
    g_rand_state = seed ? seed : 1u;
    g_rand_seeded = 1;
}

int rand(void)
{
    if (g_rand_seeded != 1) {
        int local = 0;
        g_rand_state = seed_from_counter(&local);
        g_rand_seeded = 1;
    }
    return next_value();
}

} // extern "C"
