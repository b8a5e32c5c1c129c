// Floating-point text conversion, built one rounded x87 operation at a time:
// each digit is a multiply then an add, and each unit of scale one multiply
// or divide by a constant, so results are reproducible bit for bit. Every
// scaling loop is capped, so any exponent costs at most 1024 steps.
#include <stdlib.h>

namespace {

// Exact in single precision; held as floats so every step is one fmul/fdiv
// by the same operand.
const float k_ten = 10.0f;
const float k_sixteen = 16.0f;
const float k_sixteenth = 0.0625f;
const float k_half = 0.5f;

constexpr unsigned kStepCap = 1024;
constexpr int kExponentCap = 4096; // keeps value * 10 + 9 far from overflow

struct Scan {
    long double acc = 0.0L; // every mantissa digit, point ignored
    bool any_digit = false;
    unsigned fraction = 0; // digits after the point, capped
    int exponent = 0;      // saturated, with its sign
};

bool is_float_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_decimal_digit(unsigned char c)
{
    return static_cast<unsigned>(c - '0') < 10u;
}

// Value of c as a digit, or -1.
int digit_value(unsigned char c, bool hex)
{
    unsigned decimal = static_cast<unsigned>(c - '0');
    if (decimal < 10u)
        return static_cast<int>(decimal);
    unsigned letter = static_cast<unsigned>((c | 0x20) - 'a');
    if (hex && letter < 6u)
        return static_cast<int>(letter + 10u);
    return -1;
}

// Digits, at most one point, more digits. A scan without any digit is
// thrown away by the caller, so a lone point needs no rule of its own.
const char *scan_mantissa(const char *p, bool hex, Scan &s)
{
    const float radix = hex ? k_sixteen : k_ten;
    bool after_point = false;
    for (;; ++p) {
        int digit = digit_value(static_cast<unsigned char>(*p), hex);
        if (digit >= 0) {
            s.acc = s.acc * radix;
            s.acc = s.acc + digit;
            s.any_digit = true;
            if (after_point && s.fraction < kStepCap)
                ++s.fraction;
        } else if (*p == '.' && !after_point) {
            after_point = true;
        } else {
            return p;
        }
    }
}

// An exponent counts only with at least one digit; otherwise the marker
// is left unconsumed and p is returned unchanged.
const char *scan_exponent(const char *p, char marker, Scan &s)
{
    if ((*p | 0x20) != marker)
        return p;
    const char *q = p + 1;
    bool negative = *q == '-';
    if (*q == '-' || *q == '+')
        ++q;
    if (!is_decimal_digit(static_cast<unsigned char>(*q)))
        return p;
    int n = 0;
    for (; is_decimal_digit(static_cast<unsigned char>(*q)); ++q) {
        n = n * 10 + (*q - '0');
        if (n > kExponentCap)
            n = kExponentCap;
    }
    s.exponent = negative ? -n : n;
    return q;
}

unsigned capped_steps(int n)
{
    unsigned magnitude = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    return magnitude < kStepCap ? magnitude : kStepCap;
}

long double decimal_value(const Scan &s)
{
    long double acc = s.acc;
    for (unsigned i = 0; i < s.fraction; ++i)
        acc = acc / k_ten;
    unsigned steps = capped_steps(s.exponent);
    if (s.exponent > 0) {
        for (unsigned i = 0; i < steps; ++i)
            acc = acc * k_ten;
    } else {
        for (unsigned i = 0; i < steps; ++i)
            acc = acc / k_ten;
    }
    return acc;
}

long double hex_value(const Scan &s)
{
    long double acc = s.acc;
    for (unsigned i = 0; i < s.fraction; ++i)
        acc = acc * k_sixteenth;
    unsigned steps = capped_steps(s.exponent);
    if (s.exponent > 0) {
        for (unsigned i = 0; i < steps; ++i)
            acc = acc + acc;
    } else {
        for (unsigned i = 0; i < steps; ++i)
            acc = acc * k_half;
    }
    return acc;
}

} // namespace

extern "C" {

long double strtold(const char *text, char **end)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0.0L;
    }
    const char *p = text;
    while (is_float_space(static_cast<unsigned char>(*p)))
        ++p;
    int sign = 1;
    if (*p == '-' || *p == '+') {
        if (*p == '-')
            sign = -1;
        ++p;
    }
    bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    Scan s;
    p = scan_mantissa(hex ? p + 2 : p, hex, s);
    if (!s.any_digit) {
        if (end)
            *end = const_cast<char *>(text);
        return 0.0L;
    }
    p = scan_exponent(p, hex ? 'p' : 'e', s);
    if (end)
        *end = const_cast<char *>(p);
    long double magnitude = hex ? hex_value(s) : decimal_value(s);
    return magnitude * sign;
}

double strtod(const char *text, char **end)
{
    // The i386 convention returns a double in ST0, which would carry all 64
    // significand bits; a trip through memory rounds to double in the
    // current rounding mode.
    volatile double narrowed = static_cast<double>(strtold(text, end));
    return narrowed;
}

} // extern "C"
