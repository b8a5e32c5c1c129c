// The memory formatter against the host's snprintf over generated formats,
// kept to what both agree on: flags - 0 +, widths and precisions in digits or
// from * (never negative), conversions d i u x X s c %. Left out because this
// formatter differs: %-Ns, a zero precision with the value 0, flags on %c,
// the zero flag on %s, %p, length modifiers and negative * values.
#include "support.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace zylos::test {
namespace {

constexpr uint8_t kMarker = 0xA5;
constexpr uint32_t kArrayRoom = 256;
constexpr int kCases = 20000;

const std::vector<std::string> kStrings = {"", "a", "hello", "\xe9t\xe9", "0123456789abcdefghij"};
const std::vector<std::string> kLiterals = {"", "a", "x=", " ", "\xe9"};

// xorshift32: deterministic, so a failing case can be replayed.
struct Random {
    uint32_t state;
    uint32_t below(uint32_t n)
    {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        return state % n;
    }
};

// A format, the argument words after it, and the complete expected result.
// clang-format off
struct Case { std::string format; std::vector<uint32_t> words; std::string expected; };
// clang-format on

// The host's rendering of one directive, given its * values and argument.
template <typename T>
std::string host(const std::string &directive, const std::vector<int> &stars, T value)
{
    char buf[128];
    const char *f = directive.c_str();
    int n = stars.empty()       ? snprintf(buf, sizeof buf, f, value)
            : stars.size() == 1 ? snprintf(buf, sizeof buf, f, stars[0], value)
                                : snprintf(buf, sizeof buf, f, stars[0], stars[1], value);
    return std::string(buf, size_t(n));
}

// Any word, a small one, a small negative one, or an extreme.
uint32_t value(Random &r)
{
    uint32_t kind = r.below(4);
    // clang-format off
    return kind == 0 ? r.state : kind == 1 ? r.below(1000) : kind == 2 ? uint32_t(-int32_t(r.below(100000)))
                                                                      : r.below(2) ? 0x80000000u : 0;
    // clang-format on
}

// A width or precision, written in digits or taken from *.
std::string count(Random &r, Case &c, std::vector<int> &stars, uint32_t n)
{
    if (r.below(3) != 0)
        return std::to_string(n);
    return stars.push_back(int(n)), c.words.push_back(n), "*";
}

void addDirective(Random &r, Case &c, const std::vector<uint32_t> &guestStrings)
{
    char conv = "diuxXsc%"[r.below(8)];
    std::string directive = "%";
    std::vector<int> stars;
    bool zeroPrecision = false;
    if (conv != 'c' && conv != '%') {
        bool left = false;
        for (uint32_t n = r.below(4); n > 0; --n) {
            char flag = "-0+"[r.below(3)];
            if (flag != '0' || conv != 's')
                directive += flag;
            left |= flag == '-';
        }
        if (!(left && conv == 's') && r.below(2))
            directive += count(r, c, stars, 1 + r.below(20));
        if (r.below(3) == 0) {
            uint32_t precision = r.below(12);
            zeroPrecision = precision == 0;
            directive += '.' + count(r, c, stars, precision);
        }
    }
    directive += conv;
    c.format += directive;
    if (conv == '%') {
        c.expected += '%';
    } else if (conv == 's') {
        uint32_t k = r.below(uint32_t(kStrings.size()));
        c.words.push_back(guestStrings[k]);
        c.expected += host(directive, stars, kStrings[k].c_str());
    } else {
        uint32_t v = conv == 'c' ? r.below(256) : value(r);
        if (v == 0 && zeroPrecision)
            v = 1;
        c.words.push_back(v);
        c.expected += host(directive, stars, int(v));
    }
}

TEST(SnprintfDifferential, AgreesWithTheHostWhereBothAreDefined)
{
    Guest &g = drapeGuest();
    std::vector<uint32_t> guestStrings;
    for (const std::string &s : kStrings)
        guestStrings.push_back(g.str(s));
    uint32_t format = g.alloc(128), array = g.alloc(kArrayRoom);
    const std::string blank(kArrayRoom, char(kMarker));
    Random r{0x2545F491u};
    int failures = 0;
    for (int i = 0; i < kCases && failures < 10; ++i) {
        Case c;
        for (uint32_t n = 1 + r.below(3); n > 0; --n) {
            const std::string &literal = kLiterals[r.below(uint32_t(kLiterals.size()))];
            c.format += literal;
            c.expected += literal;
            addDirective(r, c, guestStrings);
        }
        uint32_t pick = r.below(4);
        uint32_t size = pick == 0 ? 0 : pick == 1 ? r.below(uint32_t(c.expected.size()) + 2) : 200;
        bool nullArray = size == 0 && r.below(2);
        g.write(format, c.format + '\0');
        g.write(array, blank);
        std::vector<uint32_t> words = {nullArray ? 0 : array, size, format};
        words.insert(words.end(), c.words.begin(), c.words.end());
        int result = int(callWords(g, "snprintf", words));
        std::string want = blank;
        if (size != 0)
            want.replace(0, 0, c.expected.substr(0, size - 1) + '\0').resize(kArrayRoom);
        bool same = result == int(c.expected.size()) && bytesAt(g, array, kArrayRoom) == want;
        EXPECT_TRUE(same) << "case " << i << ": format \"" << c.format << "\" size " << size << " expected \""
                          << c.expected << "\" (" << c.expected.size() << "), result " << result;
        failures += !same;
    }
}

} // namespace
} // namespace zylos::test
