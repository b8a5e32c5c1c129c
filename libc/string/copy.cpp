// A null source reads as the empty string; a null destination is refused.
#include "string/internal.h"

namespace {

// Copies src with its NUL.
void copy_string(char *dst, const char *src)
{
    while ((*dst = *src) != 0) {
        ++dst;
        ++src;
    }
}

// Copies at most n bytes of src, stopping after its NUL; returns how many
// bytes before the NUL were copied.
size_t copy_at_most(char *dst, const char *src, size_t n)
{
    size_t i = 0;
    while (i < n && src[i]) {
        dst[i] = src[i];
        ++i;
    }
    return i;
}

} // namespace

extern "C" {

char *strcpy(char *dst, const char *src)
{
    if (!dst)
        return nullptr;
    copy_string(dst, src ? src : "");
    return dst;
}

char *strncpy(char *dst, const char *src, size_t n)
{
    if (!dst || n == 0)
        return dst;
    size_t copied = src ? copy_at_most(dst, src, n) : 0;
    memset(dst + copied, 0, n - copied);
    return dst;
}

// A low destination is measured as empty but is not writable memory, so
// nothing is appended to it.
char *strcat(char *dst, const char *src)
{
    if (!dst)
        return nullptr;
    if (is_low_pointer(dst))
        return dst;
    copy_string(dst + strlen(dst), src ? src : "");
    return dst;
}

char *strncat(char *dst, const char *src, size_t n)
{
    if (!dst)
        return nullptr;
    if (!src || n == 0 || is_low_pointer(dst))
        return dst;
    char *end = dst + strlen(dst);
    end[copy_at_most(end, src, n)] = 0;
    return dst;
}

} // extern "C"
