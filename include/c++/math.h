// <math.h> for C++ programs: the C library's header, then the C++ header's
// overloads and templates. Those forward to every C99 function in its double,
// float and long double forms, so all of them are declared here; a call of
// one that the math library does not have is an undefined symbol at link
// time, as in C.
#ifndef ZYLOS_CXX_MATH_H
#define ZYLOS_CXX_MATH_H

#include "../math.h"

#ifdef __cplusplus
// The classification macros of C99 that the C header leaves out: the
// compiler answers them, so they work.
#ifndef FP_NAN
#define FP_NAN 0
#define FP_INFINITE 1
#define FP_ZERO 2
#define FP_SUBNORMAL 3
#define FP_NORMAL 4
#endif
#ifndef fpclassify
#define fpclassify(x) __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, x)
#endif
#ifndef isfinite
#define isfinite(x) __builtin_isfinite(x)
#endif
#ifndef isinf
#define isinf(x) __builtin_isinf(x)
#endif
#ifndef isnan
#define isnan(x) __builtin_isnan(x)
#endif
#ifndef isnormal
#define isnormal(x) __builtin_isnormal(x)
#endif
#ifndef signbit
#define signbit(x) __builtin_signbit(x)
#endif
#ifndef isgreater
#define isgreater(x, y) __builtin_isgreater(x, y)
#define isgreaterequal(x, y) __builtin_isgreaterequal(x, y)
#define isless(x, y) __builtin_isless(x, y)
#define islessequal(x, y) __builtin_islessequal(x, y)
#define islessgreater(x, y) __builtin_islessgreater(x, y)
#define isunordered(x, y) __builtin_isunordered(x, y)
#endif

// The functions that the overloads forward to.
#define ZYLOS_MATH_1(name)                                                                                             \
    double name(double);                                                                                               \
    float name##f(float);                                                                                              \
    long double name##l(long double);
#define ZYLOS_MATH_2(name)                                                                                             \
    double name(double, double);                                                                                       \
    float name##f(float, float);                                                                                       \
    long double name##l(long double, long double);
#define ZYLOS_MATH_WITH(name, other)                                                                                   \
    double name(double, other);                                                                                        \
    float name##f(float, other);                                                                                       \
    long double name##l(long double, other);
#define ZYLOS_MATH_TO(result, name)                                                                                    \
    result name(double);                                                                                               \
    result name##f(float);                                                                                             \
    result name##l(long double);

extern "C" {
// clang-format off
ZYLOS_MATH_1(acos) ZYLOS_MATH_1(asin) ZYLOS_MATH_1(atan) ZYLOS_MATH_1(cos) ZYLOS_MATH_1(sin)
ZYLOS_MATH_1(tan) ZYLOS_MATH_1(cosh) ZYLOS_MATH_1(sinh) ZYLOS_MATH_1(tanh) ZYLOS_MATH_1(acosh)
ZYLOS_MATH_1(asinh) ZYLOS_MATH_1(atanh) ZYLOS_MATH_1(exp) ZYLOS_MATH_1(exp2) ZYLOS_MATH_1(expm1)
ZYLOS_MATH_1(log) ZYLOS_MATH_1(log10) ZYLOS_MATH_1(log1p) ZYLOS_MATH_1(log2) ZYLOS_MATH_1(logb)
ZYLOS_MATH_1(fabs) ZYLOS_MATH_1(sqrt) ZYLOS_MATH_1(cbrt) ZYLOS_MATH_1(erf) ZYLOS_MATH_1(erfc)
ZYLOS_MATH_1(lgamma) ZYLOS_MATH_1(tgamma) ZYLOS_MATH_1(ceil) ZYLOS_MATH_1(floor)
ZYLOS_MATH_1(nearbyint) ZYLOS_MATH_1(rint) ZYLOS_MATH_1(round) ZYLOS_MATH_1(trunc)
ZYLOS_MATH_2(atan2) ZYLOS_MATH_2(pow) ZYLOS_MATH_2(fmod) ZYLOS_MATH_2(hypot) ZYLOS_MATH_2(fdim)
ZYLOS_MATH_2(fmax) ZYLOS_MATH_2(fmin) ZYLOS_MATH_2(nextafter) ZYLOS_MATH_2(remainder)
ZYLOS_MATH_2(copysign)
ZYLOS_MATH_WITH(ldexp, int) ZYLOS_MATH_WITH(scalbn, int) ZYLOS_MATH_WITH(scalbln, long)
ZYLOS_MATH_WITH(frexp, int *) ZYLOS_MATH_WITH(nexttoward, long double)
ZYLOS_MATH_TO(int, ilogb) ZYLOS_MATH_TO(long, lrint) ZYLOS_MATH_TO(long long, llrint)
ZYLOS_MATH_TO(long, lround) ZYLOS_MATH_TO(long long, llround)
double fma(double, double, double);
float fmaf(float, float, float);
long double fmal(long double, long double, long double);
double modf(double, double *);
float modff(float, float *);
long double modfl(long double, long double *);
double remquo(double, double, int *);
float remquof(float, float, int *);
long double remquol(long double, long double, int *);
// clang-format on
}

#undef ZYLOS_MATH_1
#undef ZYLOS_MATH_2
#undef ZYLOS_MATH_WITH
#undef ZYLOS_MATH_TO
#endif

#endif

#include_next <math.h>
