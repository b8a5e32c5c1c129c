#ifndef ZYLOS_STDLIB_H
#define ZYLOS_STDLIB_H

#include <stddef.h>

#include <zylos/noreturn.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HEAP_ARENA_SIZE 1048576u
#define RAND_MAX 32767
#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1

void *malloc(size_t size);
void *calloc(size_t count, size_t size);
void *realloc(void *ptr, size_t size);
void free(void *ptr);

int atoi(const char *text);
long atol(const char *text);
long strtol(const char *text, char **end, int base);
unsigned long strtoul(const char *text, char **end, int base);
long double strtold(const char *text, char **end);
double strtod(const char *text, char **end);

ZYLOS_NORETURN void exit(int status);
ZYLOS_NORETURN void abort(void);
int atexit(void (*handler)(void));
char *getenv(const char *name);
int abs(int value);
long labs(long value);
void srand(unsigned int seed);
int rand(void);

/* Beyond the base library (ISO C). */
typedef struct {
    int quot;
    int rem;
} div_t;
typedef struct {
    long quot;
    long rem;
} ldiv_t;
void qsort(void *base, size_t count, size_t size, int (*compare)(const void *, const void *));
void *bsearch(const void *key, const void *base, size_t count, size_t size,
              int (*compare)(const void *, const void *));
div_t div(int numerator, int denominator);
ldiv_t ldiv(long numerator, long denominator);

#ifdef __cplusplus
}
#endif

#endif
