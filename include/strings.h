#ifndef ZYLOS_STRINGS_H
#define ZYLOS_STRINGS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The same routines as in <string.h>: they fold A-Z only. */
int strcasecmp(const char *a, const char *b);
int strncasecmp(const char *a, const char *b, size_t n);

#ifdef __cplusplus
}
#endif

#endif
