// The exact operations: absolute value, rounding to an integer and the
// remainder work on the bits of the double alone, and the square root is one
// fsqrt rounded straight to double precision.
#include <math.h>

#include "math/internal.h"

using namespace zylos::math;

namespace {

// The bits below the binary point of a double whose exponent e is in 0..51.
uint64_t fraction_mask(int e)
{
    return kFractionField >> e;
}

// |x| = mantissa * 2^(exponent - 1075), the mantissa's bit 52 set; for a
// finite nonzero x.
struct Scaled {
    uint64_t mantissa;
    int exponent;
};

Scaled scaled_of(uint64_t magnitude)
{
    int exponent = static_cast<int>(magnitude >> 52);
    uint64_t mantissa = magnitude & kFractionField;
    if (exponent == 0)
        exponent = 1; // subnormal: no leading bit
    else
        mantissa |= 1ull << 52;
    while ((mantissa >> 52) == 0) {
        mantissa <<= 1;
        --exponent;
    }
    return {mantissa, exponent};
}

// The magnitude bits of mantissa * 2^(exponent - 1075) when that is exactly
// a double (normal or subnormal).
uint64_t magnitude_of(Scaled s)
{
    while ((s.mantissa >> 52) == 0) {
        s.mantissa <<= 1;
        --s.exponent;
    }
    if (s.exponent >= 1)
        return (static_cast<uint64_t>(s.exponent) << 52) | (s.mantissa & kFractionField);
    return s.mantissa >> (1 - s.exponent);
}

} // namespace

extern "C" {

double fabs(double x)
{
    return double_of(bits_of(x) & ~kSignBit);
}

double trunc(double x)
{
    int e = exponent_of(x);
    if (e >= 52)
        return x; // already integral, infinite or NaN
    if (e < 0)
        return with_sign(0.0, sign_of(x));
    return double_of(bits_of(x) & ~fraction_mask(e));
}

double floor(double x)
{
    int e = exponent_of(x);
    if (e >= 52)
        return x;
    if (e < 0) {
        if (!sign_of(x) || x == 0)
            return with_sign(0.0, sign_of(x));
        return -1.0;
    }
    uint64_t bits = bits_of(x);
    uint64_t mask = fraction_mask(e);
    if ((bits & mask) == 0)
        return x;
    if (sign_of(x))
        bits += mask + 1; // one more unit of magnitude; a carry moves into the exponent
    return double_of(bits & ~mask);
}

double ceil(double x)
{
    return -floor(-x);
}

// Halfway cases away from zero.
double round(double x)
{
    int e = exponent_of(x);
    if (e >= 52)
        return x;
    if (e < 0)
        return with_sign(e == -1 ? 1.0 : 0.0, sign_of(x));
    uint64_t mask = fraction_mask(e);
    uint64_t half = (mask >> 1) + 1;
    return double_of((bits_of(x) + half) & ~mask);
}

// Exact: the remainder of two doubles is itself a double, found by binary
// long division of the mantissas.
double fmod(double x, double y)
{
    uint64_t ax = bits_of(x) & ~kSignBit;
    uint64_t ay = bits_of(y) & ~kSignBit;
    bool negative = sign_of(x);
    if (ax >= kExponentField || ay > kExponentField || ay == 0)
        return NAN;
    if (ax < ay)
        return x;
    if (ax == ay)
        return with_sign(0.0, negative);
    Scaled n = scaled_of(ax);
    Scaled d = scaled_of(ay);
    for (; n.exponent > d.exponent; --n.exponent) {
        if (n.mantissa >= d.mantissa)
            n.mantissa -= d.mantissa;
        n.mantissa <<= 1;
    }
    if (n.mantissa >= d.mantissa)
        n.mantissa -= d.mantissa;
    if (n.mantissa == 0)
        return with_sign(0.0, negative);
    return with_sign(double_of(magnitude_of(n)), negative);
}

// One fsqrt with the precision control at 53 bits rounds the root of a
// double exactly once (the root of a double never leaves the normal range).
double sqrt(double x)
{
    constexpr uint16_t kPrecisionField = 0x300;
    constexpr uint16_t kDoublePrecision = 0x200;
    uint16_t saved;
    __asm__ volatile("fnstcw %0" : "=m"(saved));
    uint16_t narrow = static_cast<uint16_t>((saved & ~kPrecisionField) | kDoublePrecision);
    long double root = x;
    __asm__ volatile("fldcw %1\n\tfsqrt\n\tfldcw %2" : "+t"(root) : "m"(narrow), "m"(saved));
    return static_cast<double>(root);
}

} // extern "C"
