// Integer text conversions. Everything is 32-bit modulo arithmetic with no
// overflow report, and each family skips its own set of white space.
#include <stdlib.h>

namespace {

// Digit values by character: 0-9 and both cases of a-f; 0xFF for the rest,
// which no base limit lets through. A table keeps the strtoul loop short.
struct DigitTable {
    unsigned char value[256];
    constexpr DigitTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = 0xFF;
        for (int d = 0; d < 10; ++d)
            value['0' + d] = static_cast<unsigned char>(d);
        for (int d = 0; d < 6; ++d) {
            value['a' + d] = static_cast<unsigned char>(10 + d);
            value['A' + d] = static_cast<unsigned char>(10 + d);
        }
    }
};
constexpr DigitTable kDigits;

// No character is worth more than 15, so a base above 16 only widens the
// multiplier. The comparison stays signed: a negative base admits nothing.
int digit_limit(int base)
{
    return base > 16 ? 16 : base;
}

bool is_atoi_space(unsigned char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

bool is_strtoul_space(unsigned char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool is_decimal_digit(unsigned char c)
{
    return static_cast<unsigned>(c - '0') < 10u;
}

bool is_hex_prefix(const char *p)
{
    return p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
}

} // namespace

extern "C" {

int atoi(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    while (is_atoi_space(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if ((*p == '-' || *p == '+') && is_decimal_digit(static_cast<unsigned char>(p[1]))) {
        negative = *p == '-';
        ++p;
    }
    unsigned value = 0;
    for (; is_decimal_digit(static_cast<unsigned char>(*p)); ++p)
        value = value * 10u + static_cast<unsigned>(*p - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

long atol(const char *text)
{
    return atoi(text);
}

// Kept out of strtol, which would otherwise carry a second copy of it.
[[gnu::noinline]] unsigned long strtoul(const char *text, char **end, int base)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0;
    }
    const char *p = text;
    while (is_strtoul_space(static_cast<unsigned char>(*p)))
        ++p;
    if (base == 0) {
        if (is_hex_prefix(p)) {
            base = 16;
            p += 2;
        } else if (*p == '0') {
            base = 8;
            ++p;
        } else {
            base = 10;
        }
    } else if (base == 16 && is_hex_prefix(p)) {
        p += 2;
    }
    const int limit = digit_limit(base);
    unsigned value = 0;
    int digit;
    while ((digit = kDigits.value[static_cast<unsigned char>(*p)]) < limit) {
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        ++p;
    }
    if (end)
        *end = const_cast<char *>(p);
    return value;
}

long strtol(const char *text, char **end, int base)
{
    return static_cast<long>(strtoul(text, end, base));
}

} // extern "C"
