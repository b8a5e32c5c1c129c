// Internal helpers of the string unit, shared by its source files.
#pragma once

#include <string.h>

// Pointers below LOW_POINTER_LIMIT can never point at a string: the first page
// is never mapped, so such a value is a null pointer or an offset that lost
// its base.
inline bool is_low_pointer(const void *p)
{
    return reinterpret_cast<unsigned>(p) < LOW_POINTER_LIMIT;
}

inline const unsigned char *bytes(const char *s)
{
    return reinterpret_cast<const unsigned char *>(s);
}
