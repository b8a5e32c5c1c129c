// Integer conversions run in the guest: white-space sets, bases and
// prefixes, 32-bit wrap-around, and where the end pointer lands.
#include "support.h"

#include <climits>
#include <gtest/gtest.h>
#include <initializer_list>

namespace zylos::test {
namespace {

class StdlibStrtol : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    // clang-format off
    struct Case { const char *text; int base; uint32_t value; int64_t end; };
    // clang-format on
    // strtol is strtoul under another name: both must give the same bits and
    // the same end pointer. The text ends at a guard page, so reading past
    // its terminator faults.
    void expectAll(std::initializer_list<Case> cases)
    {
        for (const Case &c : cases)
            for (const char *fn : {"strtoul", "strtol"}) {
                uint32_t s = g.strAtGuard(c.text), slot = endSlot(g);
                uint32_t value = g.call(fn, {s, slot, c.base});
                EXPECT_EQ(std::pair(value, int64_t(g.read32(slot)) - int64_t(s)), std::pair(c.value, c.end))
                    << fn << "(\"" << c.text << "\", " << c.base << ")";
            }
    }
};

TEST_F(StdlibStrtol, WhiteSpaceNoSignAndPrefixes)
{
    // clang-format off
    expectAll({{" \t\n\r42", 10, 42, 6}, {"\v42", 10, 0, 0}, {"\f42", 10, 0, 0}, {"  xyz", 10, 0, 2}, {"", 10, 0, 0},
               {"  ", 10, 0, 2}, {"42 7", 10, 42, 2}, {"-5", 10, 0, 0}, {"+5", 10, 0, 0}, {" -0x10", 0, 0, 1},
               // clang-format on
               {"\t+7", 16, 0, 1}});
    // A consumed prefix is never given back, even with no digit after it.
    // clang-format off
    expectAll({{"0x1A", 0, 26, 4}, {"0X1a", 16, 26, 4}, {"1a", 16, 26, 2}, {"0x", 0, 0, 2},
               {"0x", 16, 0, 2}, {"0xg", 0, 0, 2}, {"0", 16, 0, 1}, {"0", 0, 0, 1},
               {"017", 0, 15, 3}, {"08", 0, 0, 1}, {"10", 0, 10, 2}, {"0x0x1", 0, 0, 3},
               {"0x10", 10, 0, 1}, {"0x10", 36, 0, 1}, {" 0x1f", 0, 31, 5}});
    // clang-format on
}

// Only 0-9 and a-f are digits in any base; the base test is signed.
TEST_F(StdlibStrtol, Bases)
{
    // clang-format off
    expectAll({{"777", 8, 511, 3}, {"778", 8, 63, 2}, {"101", 2, 5, 3}, {"ff", 20, 315, 2},
               {"g", 36, 0, 0}, {"fz", 36, 15, 1}, {"1f", 1000, 1015, 2}, {"12", 1, 0, 0},
               {"00", 1, 0, 2}, {"12", -1, 0, 0}, {"0x1", -16, 0, 0}, {"5", INT_MIN, 0, 0},
               {"9", 9, 0, 0}, {"9", 10, 9, 1}});
    // clang-format on
    // Modulo 2^32, for both.
    // clang-format off
    expectAll({{"4294967295", 10, 0xFFFFFFFFu, 10}, {"4294967296", 10, 0, 10}, {"4294967297", 10, 1, 10},
               {"FfFfFfFf", 16, 0xFFFFFFFFu, 8}, {"80000000", 16, 0x80000000u, 8},
               // clang-format on
               {"123456789abcdef", 16, 0x89ABCDEFu, 15}});
}

TEST_F(StdlibStrtol, AtoiAtolNullTextAndCost)
{
    // clang-format off
    const struct { const char *text; int32_t value; } cases[] = {
        {"  -12x", -12}, {"\t\n 7", 7}, {"+42", 42}, {"007", 7}, {"-0", 0}, {"", 0}, {"+-5", 0}, {"- 5", 0},
        {"-", 0}, {"+", 0}, {"\r5", 0}, {"\v5", 0}, {"\f5", 0}, {"0x10", 0}, {"abc", 0}, {"2147483647", INT_MAX},
        {"2147483648", INT_MIN}, {"-2147483648", INT_MIN}, {"4294967297", 1}, {"-4294967295", 1}};
    // clang-format on
    for (const auto &c : cases) {
        uint32_t s = g.strAtGuard(c.text);
        for (const char *fn : {"atoi", "atol"})
            EXPECT_EQ(int32_t(g.call(fn, {s})), c.value) << fn << " \"" << c.text << '"';
    }
    for (const char *fn : {"atoi", "atol"})
        EXPECT_EQ(g.call(fn, {0u}), 0u) << fn;
    // A null text stores a null end.
    for (const char *fn : {"strtoul", "strtol"}) {
        uint32_t slot = endSlot(g);
        EXPECT_EQ(g.call(fn, {0u, slot, 10}), 0u) << fn;
        EXPECT_EQ(g.read32(slot), 0u) << fn;
        EXPECT_EQ(g.call(fn, {0u, 0u, 10}), 0u) << fn;
    }
}

} // namespace
} // namespace zylos::test
