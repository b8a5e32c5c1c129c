#include "string/internal.h"

namespace {

// The first bytes of a needle (up to four), packed as they appear in a word
// whose low byte is the latest one read.
struct NeedleHead {
    unsigned bytes;
    unsigned mask;
    size_t length;
};

NeedleHead needle_head(const unsigned char *needle)
{
    NeedleHead head = {0, 0, 0};
    for (; head.length < 4 && needle[head.length]; ++head.length) {
        head.bytes = head.bytes << 8 | needle[head.length];
        head.mask = head.mask << 8 | 0xFF;
    }
    return head;
}

// Reads hay one byte at a time, keeping the latest bytes in window, until the
// window holds the needle's head or hay ends. Each byte costs seven
// instructions whatever the text: lodsb drops the new byte straight into the
// shifted window. Returns the address after the head's last byte, or null at
// hay's NUL.
const unsigned char *scan_for_head(const unsigned char *h, unsigned &window, const NeedleHead &head)
{
    unsigned w = window;
    asm("1:\n\t"
        "shll $8, %[w]\n\t"
        "lodsb\n\t"
        "testb %%al, %%al\n\t"
        "je 2f\n\t"
        "andl %[mask], %[w]\n\t"
        "cmpl %[want], %[w]\n\t"
        "jne 1b\n"
        "2:"
        : [w] "+a"(w), "+S"(h)
        : [mask] "r"(head.mask), [want] "r"(head.bytes)
        : "memory", "cc");
    window = w;
    return (w & 0xFF) ? h : nullptr;
}

// Compares the needle's remaining bytes with the hay that follows the head.
// hay's NUL never equals a needle byte, so the walk stops there.
bool rest_matches(const unsigned char *h, const unsigned char *rest)
{
    for (; *rest; ++h, ++rest) {
        if (*h != *rest)
            return false;
    }
    return true;
}

} // namespace

extern "C" {

// A NUL searched for is found at the terminator.
char *strchr(const char *s, int c)
{
    if (!s)
        return nullptr;
    const char wanted = static_cast<char>(c);
    for (;; ++s) {
        if (*s == wanted)
            return const_cast<char *>(s);
        if (*s == 0)
            return nullptr;
    }
}

char *strrchr(const char *s, int c)
{
    if (!s)
        return nullptr;
    const char wanted = static_cast<char>(c);
    const char *last = nullptr;
    for (;; ++s) {
        if (*s == wanted)
            last = s;
        if (*s == 0)
            return const_cast<char *>(last);
    }
}

// Positions are tried in order and the first match wins, but the head of
// every position is compared at once through a rolling window, so each hay
// byte is loaded once; only a position whose head matches is compared
// further, byte by byte.
char *strstr(const char *hay, const char *needle)
{
    if (!hay || !needle)
        return nullptr;
    if (*needle == 0)
        return const_cast<char *>(hay);
    const NeedleHead head = needle_head(bytes(needle));
    const unsigned char *rest = bytes(needle) + head.length;
    unsigned window = 0;
    const unsigned char *h = bytes(hay);
    while ((h = scan_for_head(h, window, head))) {
        if (rest_matches(h, rest))
            return const_cast<char *>(reinterpret_cast<const char *>(h - head.length));
    }
    return nullptr;
}

} // extern "C"
