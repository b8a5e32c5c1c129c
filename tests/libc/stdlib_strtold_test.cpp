// strtold and strtod in the guest, compared bit for bit with hand-worked
// values. The host's long double is the same x87 extended format; where a
// value is not exact, it is written as the steps the parser takes (times or
// over ten, rounding each time).
#include "support.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>

namespace zylos::test {
namespace {

static_assert(std::numeric_limits<long double>::digits == 64, "the expected values need x87 extended long double");

// v times (n > 0) or over (n < 0) ten, |n| times, rounding at every step.
long double tens(long double v, int n)
{
    volatile long double acc = v;
    for (int i = 0; i < std::abs(n); ++i)
        acc = n > 0 ? acc * 10.0L : acc / 10.0L;
    return acc;
}

// Compared as raw bits: -0 and +0 differ.
bool same(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

struct Row {
    std::string text;
    long double value;
    int64_t end;
};

class StdlibStrtold : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    // The text ends at a guard page, so a read past its terminator faults.
    void expectRows(const char *fn, const std::vector<Row> &rows)
    {
        for (const Row &r : rows) {
            const uint32_t s = g.strAtGuard(r.text), slot = endSlot(g);
            const long double got = g.callLD(fn, {s, slot});
            EXPECT_TRUE(same(got, r.value)) << fn << " \"" << r.text << "\" gave " << got << ", want " << r.value;
            EXPECT_EQ(int64_t(g.read32(slot)) - int64_t(s), r.end) << fn << " \"" << r.text << '"';
        }
    }
};

// A marker without a digit after its sign stays unconsumed; no mantissa
// digit gives +0 and the end back at the start.
TEST_F(StdlibStrtold, HandWorkedTexts)
{
    // clang-format off
    expectRows("strtold",
               {{"-12.5e1", -125, 7}, {"  -12e2", -1200, 7}, {"+.5", 0.5, 3}, {"-.5", -0.5, 3}, {"5.", 5, 2},
                {"5.e2", 500, 4}, {"00012.50", 12.5, 8}, {"1.2.3", tens(12, -1), 3}, {"0.1", tens(1, -1), 3},
                {"1e2e3", 100, 3}, {"12abc", 12, 2}, {"1e+0", 1, 4}, {"7E-0", 7, 4}, {"0.3e1", tens(tens(3, -1), 1), 5},
                {"1e-3", tens(1, -3), 4}, {"18446744073709551615", 18446744073709551615.0L, 20},
                {"0x1F.8p-1", 15.75, 9}, {"0x1.8p1", 3, 7}, {"0X1P-2", 0.25, 6}, {"0xfF", 255, 4}, {"0x.8", 0.5, 4},
                {"0x1.", 1, 4}, {"0x10p0004", 256, 9}, {"-0xA.8", -10.5, 6}, {"0x1e3", 483, 5}, {"0x1p+3", 8, 6},
                {"0x1.0p", 1, 5}, {"1e", 1, 1}, {"1ex", 1, 1}, {"1e+", 1, 1}, {"1e-x", 1, 1}, {"0x1p", 1, 3},
                {"0x1p+", 1, 3}, {"0x1e", 30, 4}, {"2p3", 2, 1}, {"-0", -0.0L, 2}, {"-0x0p9", -0.0L, 6},
                {"-0.0e5", -0.0L, 6}, {"+0", 0, 2}, {"\v7", 7, 2}, {"\f7", 7, 2}, {"\r7", 7, 2}, {" \t\n7", 7, 4},
                {"0x", 0, 0}, {"0xg", 0, 0}, {"0x.", 0, 0}, {"0x.p1", 0, 0}, {".", 0, 0}, {"-", 0, 0}, {"- 5", 0, 0},
                {"+-5", 0, 0}, {"inf", 0, 0}, {"nan", 0, 0}, {".e5", 0, 0}, {"  -.", 0, 0}, {" \t-0x", 0, 0},
                {"", 0, 0}, {"\x01" "5", 0, 0}, {"-inf", 0, 0}});
    // clang-format on
    for (const char *fn : {"strtold", "strtod"}) {
        const uint32_t slot = endSlot(g);
        EXPECT_TRUE(same(g.callLD(fn, {0u, slot}), 0)) << fn;
        EXPECT_EQ(g.read32(slot), 0u) << fn;
        EXPECT_TRUE(same(g.callLD(fn, {0u, 0u}), 0)) << fn;
    }
}

// 1024 steps at most, however large the exponent or the fraction, but every
// fraction digit still enters the accumulator.
TEST_F(StdlibStrtold, ScalingCaps)
{
    const long double big = tens(1, 1024);
    ASSERT_TRUE(std::isfinite(big));
    const std::string zeros(1100, '0');
    const auto n = int64_t(zeros.size());
    // clang-format off
    expectRows("strtold",
               {{"1e5000", big, 6}, {"1e1024", big, 6}, {"1e1025", big, 6}, {"1e99999999999", big, 13},
                {"1e-5000", tens(1, -1024), 7}, {"-1e-99999999999999999999", -tens(1, -1024), 24},
                {"1e0000000000000000000000002", 100, 27}, {"0x1p5000", std::ldexp(1.0L, 1024), 8},
                {"0x1p-5000", std::ldexp(1.0L, -1024), 9}, {"0e5000", 0, 6},
                {"0." + zeros + "1", tens(1, -1024), n + 3}, {"0x0." + zeros + "1", std::ldexp(1.0L, -4096), n + 5},
                {"0.5" + zeros, tens(tens(5, 1100), -1024), n + 3}});
    // clang-format on
}

// The value rounded to double (once more, from the extended one: ties to
// even), not the extended one; overflow is infinity, -0 keeps its sign.
TEST_F(StdlibStrtold, StrtodRoundsToDouble)
{
    // clang-format off
    expectRows("strtod", {{"0.1", double(tens(1, -1)), 3}, {"-12.5e1", -125, 7}, {"0x1.fffffffffffffffp0", 2, 21},
                          {"1e308", double(tens(1, 308)), 5}, {"1e-310", double(tens(1, -310)), 6}, {"1e-400", 0, 6},
                          {"0x1.00000000000008p0", 1, 20}, {"0x1.00000000000018p0", 1 + std::ldexp(1.0L, -51), 20},
                          {"1e5000", HUGE_VALL, 6}, {"-0x1p5000", -HUGE_VALL, 9}, {"-0", -0.0L, 2},
                          // clang-format on
                          {"1e-5000", 0, 7}});
}

} // namespace
} // namespace zylos::test
