// Internal interface of the stdlib unit, shared by its source files.
#pragma once

#include <stddef.h>
#include <stdlib.h>

extern "C" {
extern unsigned char g_heap[HEAP_ARENA_SIZE];
// Offset in g_heap of the first byte never handed out.
extern size_t g_heap_used;
extern unsigned g_rand_state;
extern int g_rand_seeded;
}
