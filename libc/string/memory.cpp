// The block routines move whole words with the string instructions and finish
// the odd bytes singly; nothing outside the count is touched. They test no
// pointers: with a count above zero the memory must be there. A rep prefix
// costs its start-up even for a zero count, so no odd bytes skip it.
#include "string/internal.h"

namespace {

constexpr unsigned kByteSpread = 0x01010101u;

void copy_forward(void *dst, const void *src, size_t n)
{
    size_t words = n >> 2;
    asm volatile("rep movsl\n\t"
                 "movl %[tail], %%ecx\n\t"
                 "jecxz 1f\n\t"
                 "rep movsb\n"
                 "1:"
                 : "+D"(dst), "+S"(src), "+c"(words)
                 : [tail] "r"(n & 3)
                 : "memory");
}

// Last byte first, with the direction flag set only for the copy. The odd
// bytes at the top go first so that the words below them stay aligned with
// the end of the area.
void copy_backward(void *dst, const void *src, size_t n)
{
    unsigned char *last_dst = static_cast<unsigned char *>(dst) + (n - 1);
    const unsigned char *last_src = static_cast<const unsigned char *>(src) + (n - 1);
    size_t tail = n & 3;
    asm volatile("std\n\t"
                 "rep movsb\n\t"
                 "subl $3, %%esi\n\t"
                 "subl $3, %%edi\n\t"
                 "movl %[words], %%ecx\n\t"
                 "rep movsl\n\t"
                 "cld"
                 : "+D"(last_dst), "+S"(last_src), "+c"(tail)
                 : [words] "r"(n >> 2)
                 : "memory", "cc");
}

} // namespace

extern "C" {

void *memcpy(void *dst, const void *src, size_t n)
{
    copy_forward(dst, src, n);
    return dst;
}

void *memmove(void *dst, const void *src, size_t n)
{
    if (dst == src || n == 0)
        return dst;
    if (reinterpret_cast<unsigned>(dst) < reinterpret_cast<unsigned>(src))
        copy_forward(dst, src, n);
    else
        copy_backward(dst, src, n);
    return dst;
}

void *memset(void *dst, int c, size_t n)
{
    void *cursor = dst;
    size_t words = n >> 2;
    asm volatile("rep stosl\n\t"
                 "movl %[tail], %%ecx\n\t"
                 "jecxz 1f\n\t"
                 "rep stosb\n"
                 "1:"
                 : "+D"(cursor), "+c"(words)
                 : "a"(static_cast<unsigned char>(c) * kByteSpread), [tail] "r"(n & 3)
                 : "memory");
    return dst;
}

int memcmp(const void *a, const void *b, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(a);
    const unsigned char *q = static_cast<const unsigned char *>(b);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != q[i])
            return static_cast<int>(p[i]) - static_cast<int>(q[i]);
    }
    return 0;
}

} // extern "C"
