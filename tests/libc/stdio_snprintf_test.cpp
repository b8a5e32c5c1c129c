// Formatting into memory: the layout of each conversion, the storing rule at
// the end of the array (placed right against an unmapped page, so a store
// past the given size faults), the digit renderer and sprintf's fixed size.
#include "support.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

// One argument word: a plain value, or a string copied into the guest.
struct Word {
    uint32_t value;
    const char *text;
};
Word v(uint32_t value) { return {value, nullptr}; }
Word s(const char *text) { return {0, text}; }

constexpr uint8_t kMarker = 0xA5;

class Snprintf : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    // An array of size bytes ending at an unmapped page, filled with a marker.
    uint32_t arrayAtGuard(uint32_t size)
    {
        uint32_t a = g.allocAtGuard(size);
        g.write(a, std::string(size, char(kMarker)));
        return a;
    }
    uint32_t word(const Word &w) { return w.text ? g.str(w.text) : w.value; }
};

struct Row {
    const char *format; // null stands for a null format
    std::vector<Word> args;
    uint32_t size;
    std::string stored; // the characters in front of the terminator
    int result;
    bool nullArray = false;
};

const uint32_t kMinus1 = uint32_t(-1), kMinus5 = uint32_t(-5);

const std::vector<Row> kRows = {
    // clang-format off
    {"hello", {}, 0, "", 5}, {"hello", {}, 1, "", 5}, {"hello", {}, 5, "hell", 5}, {"hello", {}, 6, "hello", 5},
    {"%5d", {v(42)}, 3, "  ", 5}, {"%d", {v(12345)}, 0, "", 5, true}, {nullptr, {}, 8, "", 0}, {"", {}, 8, "", 0},
    {"100%", {}, 32, "100", 3}, {"%05d", {v(42)}, 32, "00042", 5}, {"%-5d", {v(42)}, 32, "42   ", 5},
    {"%+d", {v(42)}, 32, "+42", 3}, {"%+05d", {v(uint32_t(-42))}, 32, "-0042", 5},
    {"%6.4d", {v(42)}, 32, "  0042", 6}, {"%06.4d", {v(42)}, 32, "  0042", 6},
    {"%-6.4d", {v(42)}, 32, "0042  ", 6}, {"%08.3d", {v(uint32_t(-7))}, 32, "    -007", 8},
    {"%-+6d", {v(42)}, 32, "+42   ", 6}, {"%-0+-6d", {v(42)}, 32, "+42   ", 6},
    {"%d", {v(0x80000000u)}, 32, "-2147483648", 11}, {"%+i", {v(0)}, 32, "+0", 2},
    {"%u", {v(0xFFFFFFFFu)}, 32, "4294967295", 10}, {"%x", {v(171)}, 32, "ab", 2}, {"%X", {v(171)}, 32, "AB", 2},
    {"%08x", {v(171)}, 32, "000000ab", 8}, {"%-08x", {v(171)}, 32, "ab      ", 8}, {"%llX", {v(171)}, 32, "AB", 2},
    {"%zu%lu", {v(7), v(8)}, 32, "78", 2}, {"%.0d", {v(0)}, 32, "0", 1}, {"%.d", {v(0)}, 32, "0", 1},
    {"%.*d", {v(uint32_t(-3)), v(5)}, 32, "5", 1}, {"%05.*d", {v(kMinus1), v(42)}, 32, "00042", 5},
    {"%*d", {v(kMinus5), v(42)}, 32, "42", 2}, {"%*.*d", {v(6), v(3), v(7)}, 32, "   007", 6},
    {"%+u", {v(42)}, 32, "42", 2}, {"%5s", {s("ab")}, 32, "   ab", 5}, {"%-5s", {s("ab")}, 32, "ab", 2},
    {"%-*s", {v(kMinus5), s("ab")}, 32, "   ab", 5}, {"%*s", {v(kMinus5), s("ab")}, 32, "ab", 2},
    {"%05s", {s("ab")}, 32, "   ab", 5}, {"%3s", {s("")}, 32, "   ", 3}, {"%.3s", {v(0)}, 32, "(nu", 3},
    {"%10s", {v(0)}, 32, "    (null)", 10}, {"%.1s%.0s", {s("xyz"), s("abc")}, 32, "x", 1},
    {"%.*s", {v(uint32_t(-2)), s("abc")}, 32, "abc", 3}, {"%5c", {v(65)}, 32, "A", 1},
    {"a%cb", {v(0)}, 32, std::string("a\0b", 3), 3}, {"%c", {v(0x141)}, 32, "A", 1},
    {"%10p", {v(0xab)}, 32, "0xab", 4}, {"%p", {v(0)}, 32, "0x0", 3}, {"%p", {v(0xDEADBEEF)}, 32, "0xdeadbeef", 10},
    {"%q%d", {v(5)}, 32, "%q5", 3}, {"%hd", {v(5)}, 32, "%hd", 3}, {"%*5d", {v(3), v(7)}, 32, "%5d", 3},
    {"%5%", {}, 32, "%", 1}, {"% d", {v(5)}, 32, "% d", 3}, {"%#x", {v(5)}, 32, "%#x", 3},
    {"%lz", {}, 32, "%z", 2}, {"%\xe9", {}, 32, "%\xe9", 2}, {"%lld %d", {v(1), v(0), v(2)}, 32, "1 0", 3},
    {"ab%", {}, 32, "ab", 2}, {"ab%5", {}, 32, "ab", 2}, {"ab%l", {}, 32, "ab", 2}, {"ab%ll", {}, 32, "ab", 2},
    {"ab%.", {}, 32, "ab", 2}, {"ab%-", {}, 32, "ab", 2}, {"ab%*", {v(4)}, 32, "ab", 2},
    {"abcdef", {}, 7, "abcdef", 6}, {"abcdefg", {}, 7, "abcdef", 7},
    // clang-format on
    {"%s|%d", {s("long text"), v(12345)}, 4, "lon", 15},
};

TEST_F(Snprintf, LayoutAndStoringRule)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(testing::Message() << "format " << (row.format ? row.format : "(null)") << " size " << row.size);
        uint32_t array = row.nullArray ? 0 : arrayAtGuard(row.size);
        std::vector<uint32_t> words = {array, row.size, row.format ? g.str(row.format) : 0};
        for (const Word &w : row.args)
            words.push_back(word(w));
        EXPECT_EQ(int(callWords(g, "snprintf", words)), row.result);
        if (row.size == 0 || row.nullArray)
            continue;
        std::string want = row.stored + '\0';
        want.resize(row.size, char(kMarker));
        EXPECT_EQ(bytesAt(g, array, row.size), want);
    }
}

// sprintf stores at most 65535 characters.
TEST_F(Snprintf, LargeCountsRendererAndCost)
{
    for (uint32_t width : {65535u, 65536u, 70000u}) {
        SCOPED_TRACE(width);
        uint32_t array = arrayAtGuard(65536);
        EXPECT_EQ(g.call("sprintf", {array, g.str("%*d"), width, 7}), width);
        EXPECT_EQ(bytesAt(g, array, 65536), std::string(65534, ' ') + (width == 65535 ? '7' : ' ') + '\0');
    }
    // Width and precision runs past INT_MAX saturate there; the fill past the
    // end of the array is counted without being stored.
    // clang-format off
    const struct { const char *format; Word arg; std::string stored; } cases[] = {
        {"%2147483648d", v(5), "       "}, {"%99999999999999999999d", v(5), "       "},
        {"%.4294967296d", v(5), "0000000"}, {"%-2147483647d", v(5), "5      "}, {"%2147483647s", s("ab"), "       "}};
    // clang-format on
    for (const auto &c : cases) {
        uint32_t array = arrayAtGuard(8);
        EXPECT_EQ(g.call("snprintf", {array, 8, g.str(c.format), word(c.arg)}), 2147483647u) << c.format;
        EXPECT_EQ(g.readStr(array), c.stored) << c.format;
    }
    // The renderer writes exactly the digits (the area ends at an unmapped page).
    // clang-format off
    const struct { uint32_t value, base; int upper; std::string digits; } renders[] = {
        {0, 10, 0, "0"}, {1000000000, 10, 0, "1000000000"}, {4294967295u, 10, 0, "4294967295"},
        {4294967295u, 16, 1, "FFFFFFFF"}, {0x1234abcd, 16, 0, "1234abcd"}};
    // clang-format on
    for (const auto &c : renders) {
        uint32_t area = g.allocAtGuard(c.digits.size()), count = g.alloc(4);
        g.call("snbuf_render_unsigned", {area, count, c.value, c.base, c.upper});
        EXPECT_EQ(g.read32(count), c.digits.size()) << c.digits;
        EXPECT_EQ(bytesAt(g, area, c.digits.size()), c.digits);
    }
    // A typical call makes no kernel call.
    uint32_t array = arrayAtGuard(64);
    EXPECT_EQ(g.call("snprintf", {array, 64, g.str("%d %s %08x"), 12345, g.str("hello"), 0xbeef}), 20u);
    EXPECT_EQ(g.readStr(array), "12345 hello 0000beef");
    EXPECT_TRUE(g.calls().empty());
}

} // namespace
} // namespace zylos::test
