#ifndef ZYLOS_MATH_H
#define ZYLOS_MATH_H

/* The functions live in libm.a: link with -lm. They compute in the x87's
   extended precision and round once to double; none of them sets errno. */

#ifdef __cplusplus
extern "C" {
#endif

#define HUGE_VAL (__builtin_huge_val())
#define INFINITY (__builtin_inff())
#define NAN (__builtin_nanf(""))

/* Macros, so they take any floating type, as in ISO C. */
#define isnan(x) __builtin_isnan(x)
#define isinf(x) __builtin_isinf(x)

double fabs(double x);
double floor(double x);
double ceil(double x);
double trunc(double x);
double round(double x);
double fmod(double x, double y);
double sqrt(double x);

double exp(double x);
double log(double x);
double log10(double x);
double pow(double x, double y);

double sin(double x);
double cos(double x);
double tan(double x);
double atan(double x);
double atan2(double y, double x);

#ifdef __cplusplus
}
#endif

#endif
