#include "string/internal.h"

extern "C" {

// A low pointer is measured as the empty string.
size_t strlen(const char *s)
{
    const char *start = is_low_pointer(s) ? "" : s;
    const char *end = start;
    while (*end)
        ++end;
    return static_cast<size_t>(end - start);
}

size_t strnlen(const char *s, size_t max)
{
    if (is_low_pointer(s))
        return 0;
    size_t count = 0;
    while (count < max && s[count])
        ++count;
    return count;
}

} // extern "C"
