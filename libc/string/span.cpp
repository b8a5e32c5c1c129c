// Searches for one byte in memory and for bytes of a set in a string. The
// set routines take a null string or set as empty, as the string routines
// test for null.
#include "string/internal.h"

namespace {

// The bytes of a NUL-terminated set, one bit each. The NUL itself is always
// a member, so a walk that stops at a byte outside (or inside) the set also
// stops at the string's end without a test of its own.
class ByteSet {
public:
    explicit ByteSet(const char *set)
    {
        add(0);
        if (set != nullptr) {
            for (const unsigned char *p = bytes(set); *p; ++p)
                add(*p);
        }
    }
    bool has(unsigned char c) const { return (words_[c >> 5] >> (c & 31)) & 1u; }

private:
    void add(unsigned char c) { words_[c >> 5] |= 1u << (c & 31); }
    unsigned words_[8] = {};
};

// Length of the run at s whose bytes are (member true) or are not (false)
// in set, NUL excluded.
size_t run_length(const char *s, const char *set, bool member)
{
    if (s == nullptr)
        return 0;
    ByteSet in(set);
    const unsigned char *p = bytes(s);
    if (member) {
        while (*p != 0 && in.has(*p))
            ++p;
    } else {
        while (!in.has(*p))
            ++p;
    }
    return static_cast<size_t>(p - bytes(s));
}

} // namespace

extern "C" {

// Reads no further than the first match.
void *memchr(const void *s, int c, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(s);
    unsigned char wanted = static_cast<unsigned char>(c);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == wanted)
            return const_cast<unsigned char *>(p + i);
    }
    return nullptr;
}

size_t strspn(const char *s, const char *accept)
{
    return run_length(s, accept, true);
}

size_t strcspn(const char *s, const char *reject)
{
    return run_length(s, reject, false);
}

char *strpbrk(const char *s, const char *accept)
{
    if (s == nullptr)
        return nullptr;
    size_t n = strcspn(s, accept);
    return s[n] != 0 ? const_cast<char *>(s + n) : nullptr;
}

// Re-entrant: the continuation lives in the caller's *next. At the end of the
// string *next points at its NUL, so further calls keep answering null.
char *strtok_r(char *s, const char *delim, char **next)
{
    if (next == nullptr)
        return nullptr;
    char *start = s != nullptr ? s : *next;
    if (start == nullptr)
        return nullptr;
    start += strspn(start, delim);
    if (*start == 0) {
        *next = start;
        return nullptr;
    }
    char *end = start + strcspn(start, delim);
    if (*end != 0)
        *end++ = 0;
    *next = end;
    return start;
}

} // extern "C"
