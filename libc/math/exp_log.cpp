// Exponential, logarithms and powers. The logarithm is carried in two parts
// so that pow keeps its accuracy when y * log(x) is large; the exponential
// takes such a pair. Both reduce their argument to a small interval around
// 0 and sum a series there.
#include <math.h>

#include "math/internal.h"

namespace zylos::math {
namespace {

constexpr long double kSqrt2 = 1.41421356237309504880L;
constexpr long double kLog10eHi = 0xDE5BD8A937287195p-65L;
constexpr long double kLog10eLo = 0xD56EAABEB4CF70C9p-131L;
// ln 2 cut to 48 bits, so that n * kLn2Cut is exact for |n| < 2^16.
constexpr long double kLn2Cut = 0xB17217F7D1CF0000p-64L;
constexpr long double kLn2Rest = (kLn2Hi - kLn2Cut) + kLn2Lo;

constexpr int kExpDegree = 15; // the first omitted term is below 2^-68 of the result
constexpr Coefficients<kExpDegree> kInverseFactorials = [] {
    Coefficients<kExpDegree> t{};
    long double f = 1;
    for (int k = 0; k <= kExpDegree; ++k) {
        f *= k > 1 ? k : 1;
        t.c[k] = 1 / f;
    }
    return t;
}();

constexpr int kLogTerms = 14; // z ... z^14: the next is below 2^-70 of the total
constexpr Coefficients<kLogTerms> kAtanhSeries = [] {
    Coefficients<kLogTerms> t{};
    for (int k = 0; k <= kLogTerms; ++k)
        t.c[k] = 2.0L / (2 * k + 1);
    return t;
}();

// e^r for |r| <= 0.35 (a little more is harmless), by its series.
long double exp_series(long double r)
{
    long double sum = kInverseFactorials.c[kExpDegree];
    for (int k = kExpDegree - 1; k >= 0; --k)
        sum = sum * r + kInverseFactorials.c[k];
    return sum;
}

// ln m for m in [sqrt(1/2), sqrt(2)], as 2 atanh(s) with s = (m - 1)/(m + 1),
// |s| <= 0.172. The leading 2s is carried in two parts; the rest of the
// series is about 1% of it.
Wide log_mantissa(long double m)
{
    long double num = m - 1; // exact: m is near 1
    long double den = m + 1; // exact: m has 53 significant bits
    long double s = num / den;
    Wide back = exact_product(s, den);
    long double s_lo = ((num - back.hi) - back.lo) / den;
    long double z = s * s;
    long double series = kAtanhSeries.c[kLogTerms];
    for (int k = kLogTerms - 1; k >= 1; --k)
        series = series * z + kAtanhSeries.c[k];
    long double tail = s * z * series;
    return exact_sum(2 * s, 2 * s_lo + tail);
}

} // namespace

Wide log_wide(double x)
{
    // The conversion to extended normalises a subnormal x.
    ExtendedParts parts = parts_of(x);
    int k = (parts.sign_exponent & 0x7FFF) - kExtendedBias;
    long double m = extended_of({parts.mantissa, static_cast<uint16_t>(kExtendedBias)});
    if (m > kSqrt2) {
        m /= 2;
        ++k;
    }
    Wide lm = log_mantissa(m);
    Wide head = exact_sum(k * kLn2Cut, lm.hi); // k * kLn2Cut is exact
    return exact_sum(head.hi, head.lo + (lm.lo + k * kLn2Rest));
}

long double exp_wide(Wide t)
{
    long double n = nearest_integer(t.hi * kLog2eHi);
    long double r = ((t.hi - n * kLn2Cut) - n * kLn2Rest) + t.lo; // the first difference is exact
    return exp_series(r) * power_of_two(static_cast<int>(n));
}

} // namespace zylos::math

using namespace zylos::math;

namespace {

constexpr double kExpLimit = 1000; // e^1000 overflows a double, e^-1000 underflows it

// x is an integer, and odd.
bool is_integer(double x)
{
    return trunc(x) == x;
}

bool is_odd_integer(double x)
{
    return fabs(x) < 0x1p53 && is_integer(x) && !is_integer(x / 2);
}

// |x|^y for finite nonzero x and finite y, with the sign given.
double finite_power(double x, double y, bool negative)
{
    Wide t = wide_product(log_wide(fabs(x)), y, 0);
    double magnitude;
    if (t.hi > kExpLimit)
        magnitude = HUGE_VAL;
    else if (t.hi < -kExpLimit)
        magnitude = 0;
    else
        magnitude = static_cast<double>(exp_wide(t));
    return with_sign(magnitude, negative);
}

double power_of_zero(double zero, double y)
{
    bool odd = is_odd_integer(y);
    if (y < 0)
        return with_sign(HUGE_VAL, odd && sign_of(zero));
    return with_sign(0.0, odd && sign_of(zero));
}

double power_of_infinity(double inf, double y)
{
    bool negative = sign_of(inf) && is_odd_integer(y);
    return with_sign(y < 0 ? 0.0 : HUGE_VAL, negative);
}

double infinite_power(double x, double y)
{
    double ax = fabs(x);
    if (ax == 1)
        return 1;
    return (ax < 1) == (y < 0) ? HUGE_VAL : 0.0;
}

// The arguments both logarithms answer without computing: NaN, +inf, zero
// and negative numbers. True, with result set, when x is one of them.
bool log_edge_case(double x, double &result)
{
    if (is_nan(x) || x == HUGE_VAL)
        result = x + x;
    else if (x == 0)
        result = -HUGE_VAL;
    else if (x < 0)
        result = NAN;
    else
        return false;
    return true;
}

} // namespace

extern "C" {

double exp(double x)
{
    if (is_nan(x))
        return x + x;
    if (x > kExpLimit)
        return HUGE_VAL;
    if (x < -kExpLimit)
        return 0;
    return static_cast<double>(exp_wide({x, 0}));
}

double log(double x)
{
    if (double edge; log_edge_case(x, edge))
        return edge;
    Wide l = log_wide(x);
    return static_cast<double>(l.hi + l.lo);
}

double log10(double x)
{
    if (double edge; log_edge_case(x, edge))
        return edge;
    Wide l = wide_product(log_wide(x), kLog10eHi, kLog10eLo);
    return static_cast<double>(l.hi + l.lo);
}

double pow(double x, double y)
{
    if (y == 0 || x == 1)
        return 1;
    if (is_nan(x) || is_nan(y))
        return x + y;
    if (is_infinite(y))
        return infinite_power(x, y);
    if (x == 0)
        return power_of_zero(x, y);
    if (is_infinite(x))
        return power_of_infinity(x, y);
    if (x < 0 && !is_integer(y))
        return NAN;
    return finite_power(x, y, x < 0 && is_odd_integer(y));
}

} // extern "C"
