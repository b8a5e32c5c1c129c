// Internal interface of the math unit: bit access to doubles, extended
// values built from their parts, and sums and products carried as two
// extended values where one would lose the bits a double result needs.
//
// Everything is computed with plain x87 arithmetic (add, multiply, divide,
// square root) in extended precision and rounded once to double. The x87's
// own transcendental instructions are not used: their results differ from
// one implementation of the unit to the next (some give no more than double
// precision), and fsin/fcos/fptan reduce their argument with a 66-bit pi.
#pragma once

#include <stdint.h>

namespace zylos::math {

constexpr uint64_t kSignBit = 1ull << 63;
constexpr uint64_t kExponentField = 0x7FFull << 52;
constexpr uint64_t kFractionField = (1ull << 52) - 1;
constexpr int kDoubleBias = 1023;
constexpr int kExtendedBias = 16383;

inline uint64_t bits_of(double x)
{
    return __builtin_bit_cast(uint64_t, x);
}
inline double double_of(uint64_t bits)
{
    return __builtin_bit_cast(double, bits);
}
inline bool sign_of(double x)
{
    return (bits_of(x) & kSignBit) != 0;
}
inline bool is_nan(double x)
{
    return (bits_of(x) & ~kSignBit) > kExponentField;
}
inline bool is_infinite(double x)
{
    return (bits_of(x) & ~kSignBit) == kExponentField;
}
inline double with_sign(double x, bool negative)
{
    return double_of((bits_of(x) & ~kSignBit) | (negative ? kSignBit : 0));
}
// The unbiased exponent of a finite double (subnormals give -1023).
inline int exponent_of(double x)
{
    return static_cast<int>((bits_of(x) >> 52) & 0x7FF) - kDoubleBias;
}

// The 80 bits of an extended value; on i386 it occupies 12 bytes.
struct ExtendedParts {
    uint64_t mantissa; // explicit leading bit
    uint16_t sign_exponent;
};

inline long double extended_of(ExtendedParts parts)
{
    long double v = 0;
    __builtin_memcpy(&v, &parts, 10);
    return v;
}

inline ExtendedParts parts_of(long double v)
{
    ExtendedParts parts;
    __builtin_memcpy(&parts, &v, 10);
    return parts;
}

// 2^n, for n well inside the extended exponent range.
inline long double power_of_two(int n)
{
    return extended_of({1ull << 63, static_cast<uint16_t>(n + kExtendedBias)});
}

inline long double sqrt_extended(long double v)
{
    __asm__("fsqrt" : "+t"(v));
    return v;
}

// v rounded to the nearest integer, ties to even, for |v| < 2^62: adding and
// taking away 1.5 * 2^63 leaves no fraction bits in between.
inline long double nearest_integer(long double v)
{
    constexpr long double kShifter = 0xC000000000000000p0L;
    long double shifted = v + kShifter;
    return shifted - kShifter;
}

// hi + lo, with lo far below hi's last bit.
struct Wide {
    long double hi;
    long double lo;
};

// a + b exactly.
inline Wide exact_sum(long double a, long double b)
{
    long double s = a + b;
    long double b_part = s - a;
    long double a_part = s - b_part;
    return {s, (a - a_part) + (b - b_part)};
}

// a split into two halves of 32 significant bits each, whose products with
// other halves are exact.
inline Wide halves_of(long double a)
{
    constexpr long double kSplitter = 4294967297.0L; // 2^32 + 1
    long double c = kSplitter * a;
    long double hi = c - (c - a);
    return {hi, a - hi};
}

// a * b exactly.
inline Wide exact_product(long double a, long double b)
{
    long double p = a * b;
    Wide x = halves_of(a);
    Wide y = halves_of(b);
    long double error = ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo;
    return {p, error};
}

// a * b, a's low part included, to well beyond extended precision.
inline Wide wide_product(Wide a, long double b_hi, long double b_lo)
{
    Wide p = exact_product(a.hi, b_hi);
    return exact_sum(p.hi, p.lo + (a.lo * b_hi + a.hi * b_lo));
}

// The coefficients of a series, worked out by the compiler.
template <int N>
struct Coefficients {
    long double c[N + 1];
};

// Constants as the extended value nearest to them and what is left over.
constexpr long double kLn2Hi = 0xB17217F7D1CF79ACp-64L;
constexpr long double kLn2Lo = -0xD871319FF0342543p-130L;
constexpr long double kLog2eHi = 0xB8AA3B295C17F0BCp-63L;
constexpr long double kLog2eLo = -0x82F0025F2DC582EEp-128L;
constexpr long double kPiHi = 0xC90FDAA22168C235p-62L;
constexpr long double kPiLo = -0xECE675D1FC8F8CBBp-128L;
constexpr long double kPiOver2Hi = kPiHi / 2;
constexpr long double kPiOver2Lo = kPiLo / 2;

// The natural logarithm of a positive finite x, to about 70 bits.
Wide log_wide(double x);
// e^t for |t.hi| <= 1000, before rounding to double.
long double exp_wide(Wide t);

} // namespace zylos::math
