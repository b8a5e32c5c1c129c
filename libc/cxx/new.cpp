// The allocation functions of C++ programs, over the heap arena. Memory is
// never given back (free does nothing), so every delete is empty. There are
// no exceptions: a plain new that the arena cannot serve says so on the
// console and ends the program.
#include <new>
#include <stdio.h>
#include <stdlib.h>

namespace std {
const nothrow_t nothrow{};
}

namespace {

// The heap's payloads are 4-byte aligned, which is all that new promises
// without an alignment here; a stricter alignment takes a larger block and
// starts inside it. Alignments are powers of two.
constexpr size_t kHeapAlign = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

void *allocate(size_t size, size_t align)
{
    if (align <= kHeapAlign)
        return malloc(size);
    if (size > static_cast<size_t>(-1) - align)
        return nullptr;
    void *block = malloc(size + align - 1);
    if (block == nullptr)
        return nullptr;
    const size_t at = reinterpret_cast<size_t>(block);
    return reinterpret_cast<void *>((at + align - 1) & ~(align - 1));
}

void *allocate_or_abort(size_t size, size_t align)
{
    void *p = allocate(size, align);
    if (p == nullptr) {
        fprintf(stderr, "operator new: out of memory (%u bytes)\n", static_cast<unsigned>(size));
        abort();
    }
    return p;
}

size_t alignment(std::align_val_t align)
{
    return static_cast<size_t>(align);
}

} // namespace

void *operator new(size_t size)
{
    return allocate_or_abort(size, kHeapAlign);
}

void *operator new[](size_t size)
{
    return allocate_or_abort(size, kHeapAlign);
}

void *operator new(size_t size, std::align_val_t align)
{
    return allocate_or_abort(size, alignment(align));
}

void *operator new[](size_t size, std::align_val_t align)
{
    return allocate_or_abort(size, alignment(align));
}

void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size, kHeapAlign);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return allocate(size, kHeapAlign);
}

void *operator new(size_t size, std::align_val_t align, const std::nothrow_t &) noexcept
{
    return allocate(size, alignment(align));
}

void *operator new[](size_t size, std::align_val_t align, const std::nothrow_t &) noexcept
{
    return allocate(size, alignment(align));
}

void operator delete(void *) noexcept {}
void operator delete[](void *) noexcept {}
void operator delete(void *, size_t) noexcept {}
void operator delete[](void *, size_t) noexcept {}
void operator delete(void *, std::align_val_t) noexcept {}
void operator delete[](void *, std::align_val_t) noexcept {}
void operator delete(void *, size_t, std::align_val_t) noexcept {}
void operator delete[](void *, size_t, std::align_val_t) noexcept {}
void operator delete(void *, const std::nothrow_t &) noexcept {}
void operator delete[](void *, const std::nothrow_t &) noexcept {}
void operator delete(void *, std::align_val_t, const std::nothrow_t &) noexcept {}
void operator delete[](void *, std::align_val_t, const std::nothrow_t &) noexcept {}
