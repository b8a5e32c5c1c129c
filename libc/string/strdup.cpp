// Copies come from the heap and, like every heap block, are never reclaimed.
#include <stdlib.h>

#include "string/internal.h"

namespace {

char *duplicate(const char *s, size_t length)
{
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy)
        return nullptr;
    for (size_t i = 0; i < length; ++i)
        copy[i] = s[i];
    copy[length] = 0;
    return copy;
}

} // namespace

extern "C" {

char *strdup(const char *s)
{
    if (!s)
        return nullptr;
    return duplicate(s, strlen(s));
}

char *strndup(const char *s, size_t n)
{
    if (!s)
        return nullptr;
    return duplicate(s, strnlen(s, n));
}

} // extern "C"
