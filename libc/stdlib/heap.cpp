// Bump allocator over one fixed arena: blocks are handed out front to back and
// never given back, so an allocation is a constant-time move of the fill mark.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "stdlib/internal.h"

extern "C" {
alignas(8) unsigned char g_heap[HEAP_ARENA_SIZE];
size_t g_heap_used;
}

namespace {

// Each block starts with the recorded size; realloc reads it back.
constexpr size_t kHeaderSize = 4;
constexpr size_t kBlockAlign = 8;

size_t recorded_size(size_t size)
{
    return size + (size == 0);
}

void *out_of_memory()
{
    errno = ENOMEM;
    return nullptr;
}

void *take_block(size_t recorded)
{
    // The size is held against the whole arena before anything is added to
    // it, so a request near 2^32 fails instead of wrapping into a small block,
    // and the fill mark plus a bounded length stays far below 2^32.
    if (recorded > HEAP_ARENA_SIZE - kHeaderSize)
        return out_of_memory();
    size_t length = (recorded + kHeaderSize + kBlockAlign - 1) & ~(kBlockAlign - 1);
    size_t used = g_heap_used;
    size_t end = used + length;
    if (end > HEAP_ARENA_SIZE)
        return out_of_memory();
    unsigned char *block = g_heap + used;
    __builtin_memcpy(block, &recorded, kHeaderSize);
    g_heap_used = end;
    return block + kHeaderSize;
}

size_t block_recorded_size(const void *payload)
{
    size_t recorded;
    __builtin_memcpy(&recorded, static_cast<const unsigned char *>(payload) - kHeaderSize, kHeaderSize);
    return recorded;
}

} // namespace

extern "C" {

void *malloc(size_t size)
{
    return take_block(recorded_size(size));
}

void *calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0)
        return take_block(1);
    unsigned long long product = static_cast<unsigned long long>(count) * size;
    if (product > static_cast<size_t>(-1))
        return out_of_memory();
    void *payload = take_block(static_cast<size_t>(product));
    if (payload)
        memset(payload, 0, static_cast<size_t>(product));
    return payload;
}

// Always a fresh block, even when shrinking: the old one stays valid and
// untouched, which is what lets a caller keep its buffer when growth fails.
void *realloc(void *ptr, size_t size)
{
    if (!ptr)
        return malloc(size);
    size_t recorded = recorded_size(size);
    void *payload = take_block(recorded);
    if (!payload)
        return nullptr;
    size_t old_recorded = block_recorded_size(ptr);
    memcpy(payload, ptr, old_recorded < recorded ? old_recorded : recorded);
    return payload;
}

// Nothing is ever reused, so there is nothing to give back.
void free(void *ptr)
{
    (void)ptr;
}

} // extern "C"
