// The memory formatter against the host C library's snprintf over generated
// formats. Generation stays inside what both are meant to agree on: the flags
// - 0 +, widths and precisions in digits or from * (never negative), and the
// conversions d i u x X s c %. Left out on purpose, because this formatter
// differs there: %-Ns (a string is never filled on the right), a zero
// precision with the value 0 (which still prints 0), flags on %c, the zero
// flag on %s, %p, length modifiers and negative * values.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % n;
    }
};

struct Case {
    std::string format;
    std::vector<uint32_t> words; // the arguments after the format
    std::string expected;        // the complete result
};

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

uint32_t value(Random &r)
{
    switch (r.below(4)) {
    case 0: return r.state;
    case 1: return r.below(1000);
    case 2: return uint32_t(-int32_t(r.below(100000)));
    default: return r.below(2) ? 0x80000000u : 0;
    }
}

// A width or precision, written in digits or taken from *.
std::string count(Random &r, Case &c, std::vector<int> &stars, uint32_t n)
{
    if (r.below(3) != 0)
        return std::to_string(n);
    stars.push_back(int(n));
    c.words.push_back(n);
    return "*";
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

uint32_t callWords(Guest &g, const std::vector<uint32_t> &w)
{
    auto at = [&](size_t i) { return i < w.size() ? w[i] : 0u; };
    // Surplus zero words are harmless: the callee reads only what the format names.
    return g.call("snprintf", {at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7), at(8), at(9),
                               at(10), at(11)});
}

TEST(SnprintfDifferential, AgreesWithTheHostWhereBothAreDefined)
{
    Guest &g = Guest::drape();
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
        int result = int(callWords(g, words));

        std::string want = blank;
        if (size != 0)
            want.replace(0, 0, c.expected.substr(0, size - 1) + '\0').resize(kArrayRoom);
        std::vector<uint8_t> got = g.read(array, kArrayRoom);
        bool same = result == int(c.expected.size()) && std::string(got.begin(), got.end()) == want;
        EXPECT_TRUE(same) << "case " << i << ": format \"" << c.format << "\" size " << size
                          << " expected \"" << c.expected << "\" (" << c.expected.size()
                          << "), result " << result;
        failures += !same;
    }
}

} // namespace
} // namespace zylos::test
