// strtold and strtod in the guest, compared bit for bit. The host's long
// double is the same x87 extended format, so a host model that takes the
// same rounded steps (one volatile operation each) predicts every bit; it is
// checked against hand-worked values first, then used on generated texts.
#include "support.h"

#include <gtest/gtest.h>
#include <array>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>

namespace zylos::test {
namespace {

static_assert(sizeof(long double) >= 10 && std::numeric_limits<long double>::digits == 64,
              "the host model needs x87 extended long double");

using F80 = std::array<uint8_t, 10>;

F80 bitsOf(long double v)
{
    F80 b{};
    return std::memcpy(b.data(), &v, b.size()), b;
}

long double fromBits(const F80 &b)
{
    long double v = 0;
    return std::memcpy(&v, b.data(), b.size()), v;
}

std::string show(const F80 &b)
{
    std::ostringstream os;
    for (int i = 9; i >= 0; --i)
        os << std::hex << std::setw(2) << std::setfill('0') << int(b[i]);
    os << " (" << std::setprecision(21) << fromBits(b) << ")";
    return os.str();
}
std::string show(long double v) { return show(bitsOf(v)); }

// v times or over ten, n times, rounding at every step.
long double scaled(long double v, int n, bool up)
{
    volatile long double acc = v;
    for (int i = 0; i < n; ++i)
        acc = up ? acc * 10.0L : acc / 10.0L;
    return acc;
}
long double timesTen(long double v, int n) { return scaled(v, n, true); }
long double overTen(long double v, int n) { return scaled(v, n, false); }

struct Expected { long double value; size_t end; };

int digitIn(char c, bool hex)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
        return (c | 0x20) - 'a' + 10;
    return -1;
}

// std::string reads as NUL at size(), which stands for the terminator.
Expected model(const std::string &t)
{
    size_t i = 0;
    while (i < t.size() && std::strchr(" \t\n\v\f\r", t[i]))
        ++i;
    long double sign = 1;
    if (t[i] == '+' || t[i] == '-')
        sign = t[i++] == '-' ? -1 : 1;
    const bool hex = t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X');
    if (hex)
        i += 2;
    volatile long double acc = 0;
    int digits = 0, fraction = 0;
    auto takeDigits = [&](bool afterPoint) {
        for (int d; (d = digitIn(t[i], hex)) >= 0; ++i, ++digits, fraction += afterPoint) {
            acc = acc * (hex ? 16 : 10);
            acc = acc + d;
        }
    };
    takeDigits(false);
    if (t[i] == '.' && (digits > 0 || digitIn(t[i + 1], hex) >= 0)) {
        ++i;
        takeDigits(true);
    }
    if (digits == 0)
        return {0.0L, 0};
    long exponent = 0;
    const char marker = hex ? 'p' : 'e';
    if (t[i] == marker || t[i] == marker - 32) {
        size_t j = i + 1;
        bool negative = t[j] == '-';
        if (t[j] == '+' || t[j] == '-')
            ++j;
        if (digitIn(t[j], false) >= 0) {
            for (; digitIn(t[j], false) >= 0; ++j)
                exponent = std::min(exponent * 10 + (t[j] - '0'), 4096L);
            exponent = negative ? -exponent : exponent;
            i = j;
        }
    }
    const long steps = std::min(std::labs(exponent), 1024L);
    fraction = std::min(fraction, 1024);
    for (int k = 0; k < fraction; ++k)
        acc = hex ? acc * 0.0625L : acc / 10.0L;
    for (long k = 0; k < steps; ++k)
        acc = exponent > 0 ? (hex ? acc + acc : acc * 10.0L) : (hex ? acc * 0.5L : acc / 10.0L);
    volatile long double result = acc * sign;
    return {result, i};
}

class StdlibStrtold : public ::testing::Test {
protected:
    Guest &g = Guest::drape();
    // The raw ST0 bits; *end gets the stored end offset. The text ends at a
    // guard page, so a read past its terminator faults.
    F80 parse(const char *fn, const std::string &text, int64_t *end)
    {
        uint32_t s = g.strAtGuard(text), slot = endSlot(g);
        F80 bits = g.callF80(fn, {s, slot});
        *end = int64_t(g.read32(slot)) - int64_t(s);
        return bits;
    }
    // The guest and the host model must both give value and end.
    void expectParses(const std::string &text, long double value, int64_t end)
    {
        int64_t gotEnd = -1;
        const std::string got = show(parse("strtold", text, &gotEnd));
        const Expected m = model(text);
        EXPECT_EQ(std::pair(got, gotEnd), std::pair(show(value), end)) << '"' << text << '"';
        EXPECT_EQ(std::pair(show(m.value), int64_t(m.end)), std::pair(show(value), end)) << "model: " << text;
    }
    struct Case { const char *text; long double value; int64_t end; };
    void expectAll(std::initializer_list<Case> cases)
    {
        for (const Case &c : cases)
            expectParses(c.text, c.value, c.end);
    }
};

// Decimal and hexadecimal texts; a marker without a digit after its sign
// stays unconsumed.
TEST_F(StdlibStrtold, HandWorkedTexts)
{
    expectAll({{"-12.5e1", -125.0L, 7}, {"  -12e2", -1200.0L, 7}, {"+.5", 0.5L, 3}, {"-.5", -0.5L, 3},
               {"5.", 5.0L, 2}, {"5.e2", 500.0L, 4}, {"00012.50", 12.5L, 8}, {"1.2.3", overTen(12, 1), 3},
               {"0.1", overTen(1, 1), 3}, {"1e2e3", 100.0L, 3}, {"12abc", 12.0L, 2}, {"1e+0", 1.0L, 4},
               {"7E-0", 7.0L, 4}, {"0.3e1", timesTen(overTen(3, 1), 1), 5}, {"1e-3", overTen(1, 3), 4},
               {"18446744073709551615", 18446744073709551615.0L, 20}});
    expectAll({{"0x1F.8p-1", 15.75L, 9}, {"0x1.8p1", 3.0L, 7}, {"0X1P-2", 0.25L, 6}, {"0xfF", 255.0L, 4},
               {"0x.8", 0.5L, 4}, {"0x1.", 1.0L, 4}, {"0x10p0004", 256.0L, 9}, {"-0xA.8", -10.5L, 6},
               {"0x1e3", 483.0L, 5}, {"0x1p+3", 8.0L, 6}, {"0x1.0p", 1.0L, 5}});
    expectAll({{"1e", 1.0L, 1}, {"1ex", 1.0L, 1}, {"1e+", 1.0L, 1}, {"1e-x", 1.0L, 1},
               {"0x1p", 1.0L, 3}, {"0x1p+", 1.0L, 3}, {"0x1e", 30.0L, 4}, {"2p3", 2.0L, 1}});
    // No mantissa digit: +0 and the end back at the caller's start. Then signed
    // zeros, the white-space set and null pointers.
    for (const char *text : {"0x", "0xg", "0x.", "0x.p1", ".", "-", "- 5", "+-5", "inf", "nan", ".e5", "  -.",
                             " \t-0x", "", "\x01" "5", "-inf"})
        expectParses(text, 0.0L, 0);
    expectAll({{"-0", -0.0L, 2}, {"-0x0p9", -0.0L, 6}, {"-0.0e5", -0.0L, 6}, {"+0", 0.0L, 2},
               {"\v7", 7.0L, 2}, {"\f7", 7.0L, 2}, {"\r7", 7.0L, 2}, {" \t\n7", 7.0L, 4}});
    for (const char *fn : {"strtold", "strtod"}) {
        uint32_t slot = endSlot(g);
        EXPECT_EQ(show(g.callF80(fn, {0u, slot})), show(0.0L)) << fn;
        EXPECT_EQ(g.read32(slot), 0u) << fn;
        EXPECT_EQ(show(g.callF80(fn, {0u, 0u})), show(0.0L)) << fn;
    }
    EXPECT_EQ(show(g.callF80("strtold", {g.str("-2.5"), 0u})), show(-2.5L));
}

// 1024 steps at most, however large the exponent or the fraction, but every
// fraction digit still enters the accumulator.
TEST_F(StdlibStrtold, ScalingCaps)
{
    const long double big = timesTen(1, 1024);
    ASSERT_TRUE(std::isfinite(big));
    expectAll({{"1e5000", big, 6}, {"1e1024", big, 6}, {"1e1025", big, 6}, {"1e99999999999", big, 13},
               {"1e-5000", overTen(1, 1024), 7}, {"-1e-99999999999999999999", -overTen(1, 1024), 24},
               {"1e0000000000000000000000002", 100.0L, 27}, {"0x1p5000", std::ldexp(1.0L, 1024), 8},
               {"0x1p-5000", std::ldexp(1.0L, -1024), 9}, {"0e5000", 0.0L, 6}});
    const std::string zeros(1100, '0');
    // 1 after 1100 zeros: 1024 divisions, not 1101.
    expectParses("0." + zeros + "1", overTen(1, 1024), int64_t(zeros.size() + 3));
    expectParses("0x0." + zeros + "1", std::ldexp(1.0L, -4096), int64_t(zeros.size() + 5));
    // Every digit still enters the accumulator: 5 * 10^1100 / 10^1024.
    const std::string text = "0.5" + zeros;
    expectParses(text, model(text).value, int64_t(text.size()));
    EXPECT_GT(model(text).value, 1e76L);
}

// Optional space and sign, a decimal or hexadecimal mantissa with an optional
// point, an optional exponent (mostly small, sometimes past the caps,
// sometimes without digits) and sometimes a stray character.
std::string makeText(std::mt19937 &rng)
{
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    std::string t;
    if (pick(4) == 0)
        t += " \t\n\v\f\r"[pick(6)];
    if (int s = pick(4); s < 2)
        t += s ? '+' : '-';
    const bool hex = pick(2) == 0;
    if (hex)
        t += pick(2) ? "0x" : "0X";
    for (int part = 0; part < 2; ++part) {
        if (part == 1 && pick(3))
            t += '.';
        for (int i = 0, n = pick(3) ? pick(22) : 0; i < n; ++i)
            t += hex ? "0123456789abcdefABCDEF"[pick(22)] : char('0' + pick(10));
    }
    if (pick(2)) {
        t += hex ? (pick(2) ? 'p' : 'P') : (pick(2) ? 'e' : 'E');
        if (int s = pick(3); s < 2)
            t += s ? '+' : '-';
        if (int k = pick(6); k > 0)
            t += std::to_string(k == 1 ? 1000 + pick(5000) : pick(60));
    }
    if (pick(5) == 0)
        t += ".xep+-9"[pick(7)];
    return t;
}

TEST_F(StdlibStrtold, GeneratedTextsMatchTheModel)
{
    std::mt19937 rng{20240607u};
    int failures = 0;
    for (int n = 0; n < 3000 && failures < 10; ++n) {
        const std::string text = makeText(rng);
        const Expected want = model(text);
        int64_t end = -1;
        const F80 got = parse("strtold", text, &end);
        const bool same = got == bitsOf(want.value) && end == int64_t(want.end);
        EXPECT_TRUE(same) << '"' << text << "\": got " << show(got) << " end " << end << ", want "
                          << show(want.value) << " end " << want.end;
        failures += !same;
        if (n % 500 == 499)
            g.reset(); // keep the guest's allocations bounded
    }
}

// ST0 holds the value rounded to double, not the extended one.
TEST_F(StdlibStrtold, StrtodRoundsToDouble)
{
    for (const char *text : {"0.1", "-12.5e1", "0x1.fffffffffffffffp0", "1e308", "1e-310", "1e-400",
                             "123456789012345678901234567890", "0x1.00000000000008p0", "0x1.00000000000018p0"}) {
        int64_t end = -1;
        const F80 got = parse("strtod", text, &end);
        const Expected want = model(text);
        volatile double narrowed = double(want.value);
        EXPECT_EQ(show(got), show(narrowed)) << text;
        EXPECT_EQ(end, int64_t(want.end)) << text;
    }
    int64_t end = -1;
    EXPECT_NE(show(parse("strtod", "0.1", &end)), show(overTen(1, 1)));
    // Overflow gives infinity, and a negative zero keeps its sign.
    EXPECT_EQ(fromBits(parse("strtod", "1e5000", &end)), HUGE_VALL);
    EXPECT_EQ(end, 6);
    EXPECT_EQ(fromBits(parse("strtod", "-0x1p5000", &end)), -HUGE_VALL);
    const long double zero = fromBits(parse("strtod", "-0", &end));
    EXPECT_EQ(zero, 0.0L);
    EXPECT_TRUE(std::signbit(zero));
    EXPECT_EQ(fromBits(parse("strtod", "1e-5000", &end)), 0.0L);
}

} // namespace
} // namespace zylos::test
