// Comparisons walk both strings side by side and stop at the first position
// that decides, so b is never read past the point where a ended or differed.
#include "string/internal.h"

namespace {

unsigned fold_case(unsigned char c)
{
    return c - 'A' < 26u ? c + ('a' - 'A') : c;
}

int byte_difference(unsigned x, unsigned y)
{
    return static_cast<int>(x) - static_cast<int>(y);
}

// The hot walk of strcmp: a's byte is tested for NUL before the pair is
// compared, and cmpsb both compares and advances the two pointers, so a byte
// costs four instructions. Ends with x = a's byte and b at the deciding
// position.
int walk_strings(const unsigned char *a, const unsigned char *b)
{
    unsigned x;
    asm("1:\n\t"
        "movzbl (%[a]), %[x]\n\t"
        "jecxz 2f\n\t"
        "cmpsb\n\t"
        "je 1b\n\t"
        "decl %[b]\n"
        "2:"
        : [x] "=&c"(x), [a] "+S"(a), [b] "+D"(b)
        :
        : "memory", "cc");
    return byte_difference(x, *b);
}

} // namespace

extern "C" {

int strcmp(const char *a, const char *b)
{
    if (a == b)
        return 0;
    if (is_low_pointer(a))
        return -1;
    if (is_low_pointer(b))
        return 1;
    return walk_strings(bytes(a), bytes(b));
}

int strncmp(const char *a, const char *b, size_t n)
{
    if (n == 0 || a == b)
        return 0;
    if (is_low_pointer(a))
        return -1;
    if (is_low_pointer(b))
        return 1;
    const unsigned char *p = bytes(a);
    const unsigned char *q = bytes(b);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == 0 || p[i] != q[i])
            return byte_difference(p[i], q[i]);
    }
    return 0;
}

int strncasecmp(const char *a, const char *b, size_t n)
{
    if (n == 0 || a == b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const unsigned char *p = bytes(a);
    const unsigned char *q = bytes(b);
    for (size_t i = 0; i < n; ++i) {
        unsigned x = fold_case(p[i]);
        unsigned y = fold_case(q[i]);
        if (x != y || x == 0)
            return byte_difference(x, y);
    }
    return 0;
}

// Unbounded: a's NUL ends the walk long before the count could.
int strcasecmp(const char *a, const char *b)
{
    return strncasecmp(a, b, ~size_t{0});
}

} // extern "C"
