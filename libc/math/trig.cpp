// Circular functions. sin, cos and tan reduce their argument to
// r in [-pi/4, pi/4] and a quadrant: x times 2/pi is worked out exactly enough
// from the bits of 2/pi that matter for x's exponent, so every double, up to
// the largest, reduces with full precision. atan halves its argument until
// the series converges fast.
#include <math.h>

#include "math/internal.h"

namespace {

using namespace zylos::math;

// 2/pi in binary, 32 bits a word from the point on: enough words for the
// largest exponent of a double and the window read below.
constexpr uint32_t kTwoOverPi[] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599, 0x3C439041, 0xFE5163AB, 0xDEBBC561,
    0xB7246E3A, 0x424DD2E0, 0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E, 0xE88235F5, 0x2EBB4484,
    0xE99C7026, 0xB45F7E41, 0x3991D639, 0x835339F4, 0x9C845F8B, 0xBDF9283B, 0x1FF897FF, 0xDE05980F,
    0xEF2F118B, 0x5A0A6D1F, 0x6D367ECF, 0x27CB09B7, 0x4F463F66, 0x9E5FEA2D, 0x7527BAC7, 0xEBE5F17B,
    0x3D0739F7, 0x8A5292EA, 0x6BFB5FB1, 0x1F8D5D08, 0x56033046,
};
// Words of 2/pi multiplied with the mantissa: bits beyond them change the
// product by less than 2^-137 of a quadrant, while no double comes closer
// than about 2^-62 of one to a multiple of pi/2.
constexpr int kWindowWords = 7;
constexpr int kProductWords = kWindowWords + 2;
constexpr long double kPiOver4 = kPiOver2Hi / 2;

// x = quadrant * pi/2 + r.
struct Reduced {
    unsigned quadrant;
    long double r;
};

// 32 bits of the little-endian number p starting at bit `bit`.
uint32_t word_at(const uint32_t (&p)[kProductWords], int bit)
{
    int w = bit >> 5;
    int shift = bit & 31;
    uint32_t low = w < kProductWords ? p[w] : 0;
    uint32_t high = w + 1 < kProductWords ? p[w + 1] : 0;
    return shift == 0 ? low : (low >> shift) | (high << (32 - shift));
}

uint64_t bits64_at(const uint32_t (&p)[kProductWords], int bit)
{
    return word_at(p, bit) | static_cast<uint64_t>(word_at(p, bit + 32)) << 32;
}

// hi:lo / 2^128 as an extended value (truncated to 64 bits).
long double fraction_of(uint64_t hi, uint64_t lo)
{
    int exponent = -1;
    if (hi == 0) {
        if (lo == 0)
            return 0;
        hi = lo;
        lo = 0;
        exponent -= 64;
    }
    int shift = __builtin_clzll(hi);
    uint64_t mantissa = shift == 0 ? hi : (hi << shift) | (lo >> (64 - shift));
    return extended_of({mantissa, static_cast<uint16_t>(exponent - shift + kExtendedBias)});
}

// Reduction of a finite x with |x| > pi/4. Its magnitude is m * 2^e with m
// an integer of 53 bits; only words of 2/pi whose product with m has bits
// below 2^2 (four quadrants) matter.
Reduced reduce_far(double x)
{
    uint64_t bits = bits_of(x);
    uint64_t m = (bits & kFractionField) | (1ull << 52);
    int e = static_cast<int>((bits >> 52) & 0x7FF) - 1075;
    int first = e > 2 ? (e - 2) / 32 : 0;
    const uint32_t factor[2] = {static_cast<uint32_t>(m), static_cast<uint32_t>(m >> 32)};
    uint32_t product[kProductWords] = {};
    for (int i = 0; i < 2; ++i) {
        uint64_t carry = 0;
        for (int k = 0; k < kWindowWords; ++k) {
            uint64_t digit = kTwoOverPi[first + kWindowWords - 1 - k];
            uint64_t t = factor[i] * digit + product[i + k] + carry;
            product[i + k] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        product[i + kWindowWords] = static_cast<uint32_t>(carry);
    }
    int point = 32 * (first + kWindowWords) - e; // the product's bits below the binary point
    unsigned quadrant = word_at(product, point) & 3;
    uint64_t hi = bits64_at(product, point - 64);
    uint64_t lo = bits64_at(product, point - 128);
    bool past_half = (hi >> 63) != 0;
    if (past_half) { // round to the nearer quadrant: the fraction becomes 1 - f
        ++quadrant;
        lo = 0 - lo;
        hi = ~hi + (lo == 0 ? 1 : 0);
    }
    long double f = fraction_of(hi, lo);
    long double r = f * kPiOver2Hi + f * kPiOver2Lo;
    if (past_half)
        r = -r;
    if (sign_of(x))
        return {0u - quadrant, -r};
    return {quadrant, r};
}

Reduced reduce(double x)
{
    if (fabs(x) <= kPiOver4)
        return {0, x};
    return reduce_far(x);
}

constexpr int kTrigTerms = 10; // through r^21: the next term is below 2^-68 of the result
// (-1)^k / (2k + 1)! and (-1)^k / (2k)!.
constexpr Coefficients<kTrigTerms> kSineSeries = [] {
    Coefficients<kTrigTerms> t{};
    long double f = 1;
    for (int k = 0; k <= kTrigTerms; ++k) {
        f *= k == 0 ? 1 : (2 * k) * (2 * k + 1);
        t.c[k] = (k % 2 ? -1 : 1) / f;
    }
    return t;
}();
constexpr Coefficients<kTrigTerms> kCosineSeries = [] {
    Coefficients<kTrigTerms> t{};
    long double f = 1;
    for (int k = 0; k <= kTrigTerms; ++k) {
        f *= k == 0 ? 1 : (2 * k - 1) * (2 * k);
        t.c[k] = (k % 2 ? -1 : 1) / f;
    }
    return t;
}();

// The sum of c[1] z + ... + c[N] z^N.
template <int N>
long double series_tail(const Coefficients<N> &s, long double z)
{
    long double sum = s.c[N];
    for (int k = N - 1; k >= 1; --k)
        sum = sum * z + s.c[k];
    return sum * z;
}

long double sine_near(long double r)
{
    if (r == 0)
        return r; // keeps the sign of a zero
    return r + r * series_tail(kSineSeries, r * r);
}

long double cosine_near(long double r)
{
    return 1 + series_tail(kCosineSeries, r * r);
}

constexpr int kAtanHalvings = 3; // leaves |a| <= tan(pi/32) < 0.1
constexpr int kAtanTerms = 10;   // through a^21: the next term is below 2^-66 of the result
constexpr Coefficients<kAtanTerms> kAtanSeries = [] {
    Coefficients<kAtanTerms> t{};
    for (int k = 0; k <= kAtanTerms; ++k)
        t.c[k] = (k % 2 ? -1.0L : 1.0L) / (2 * k + 1);
    return t;
}();

// atan(a) for a >= 0, infinity included. atan(a) = 2 atan(a / (1 + sqrt(1 + a^2))).
long double atan_positive(long double a)
{
    bool inverted = a > 1;
    if (inverted)
        a = 1 / a;
    for (int i = 0; i < kAtanHalvings; ++i)
        a = a / (1 + sqrt_extended(1 + a * a));
    long double angle = (a + a * series_tail(kAtanSeries, a * a)) * (1 << kAtanHalvings);
    return inverted ? (kPiOver2Hi - angle) + kPiOver2Lo : angle;
}

} // namespace

extern "C" {

double sin(double x)
{
    if (is_nan(x) || is_infinite(x))
        return x - x;
    Reduced red = reduce(x);
    long double v = (red.quadrant & 1) ? cosine_near(red.r) : sine_near(red.r);
    return static_cast<double>((red.quadrant & 2) ? -v : v);
}

double cos(double x)
{
    if (is_nan(x) || is_infinite(x))
        return x - x;
    Reduced red = reduce(x);
    long double v = (red.quadrant & 1) ? sine_near(red.r) : cosine_near(red.r);
    return static_cast<double>(((red.quadrant + 1) & 2) ? -v : v);
}

double tan(double x)
{
    if (is_nan(x) || is_infinite(x))
        return x - x;
    Reduced red = reduce(x);
    long double s = sine_near(red.r);
    long double c = cosine_near(red.r);
    return static_cast<double>((red.quadrant & 1) ? -c / s : s / c);
}

double atan(double x)
{
    if (is_nan(x))
        return x + x;
    return with_sign(static_cast<double>(atan_positive(fabs(x))), sign_of(x));
}

double atan2(double y, double x)
{
    if (is_nan(x) || is_nan(y))
        return x + y;
    bool negative = sign_of(y);
    if (y == 0) // +0 and x > 0 keep y; -0 and x < 0 give pi
        return sign_of(x) ? with_sign(static_cast<double>(kPiHi), negative) : y;
    if (is_infinite(x) && is_infinite(y)) {
        long double quarter = sign_of(x) ? 3 * kPiOver4 : kPiOver4;
        return with_sign(static_cast<double>(quarter), negative);
    }
    long double angle = atan_positive(static_cast<long double>(fabs(y)) / fabs(x));
    if (sign_of(x))
        angle = (kPiHi - angle) + kPiLo;
    return with_sign(static_cast<double>(angle), negative);
}

} // extern "C"
