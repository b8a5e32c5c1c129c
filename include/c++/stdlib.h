// <stdlib.h> for C++ programs: the C library's header, the few names that the
// C++ headers' overloads refer to beyond it (a call of one is an undefined
// symbol at link time), then the C++ header's overloads.
#ifndef ZYLOS_CXX_STDLIB_H
#define ZYLOS_CXX_STDLIB_H

#include "../stdlib.h"

#ifdef __cplusplus
extern "C" {
typedef struct {
    long long quot;
    long long rem;
} lldiv_t;
lldiv_t lldiv(long long numerator, long long denominator);
int posix_memalign(void **block, size_t alignment, size_t size);
}
#endif

#endif

#include_next <stdlib.h>
