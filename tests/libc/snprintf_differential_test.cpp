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

// xorshift32: deterministic, so a failing case can be replayed.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed) {}
    uint32_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint32_t below(uint32_t n) { return next() % n; }
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint32_t state_;
};

const std::vector<std::string> kStrings = {"", "a", "hello", "\xe9t\xe9", "0123456789abcdefghij"};
const std::vector<std::string> kLiterals = {"", "a", "x=", " ", "[]", "\xe9"};

// The host's rendering of one directive with its * values and argument.
template <typename T>
std::string hostDirective(const std::string &spec, const std::vector<int> &stars, T value)
{
    char buf[256];
    int n;
    if (stars.empty())
        n = snprintf(buf, sizeof buf, spec.c_str(), value);
    else if (stars.size() == 1)
        n = snprintf(buf, sizeof buf, spec.c_str(), stars[0], value);
    else
        n = snprintf(buf, sizeof buf, spec.c_str(), stars[0], stars[1], value);
    return std::string(buf, size_t(n));
}

struct Case {
    std::string format;
    std::vector<uint32_t> words; // argument words after the format
    std::string expected;        // the complete result
};

class Generator {
public:
    explicit Generator(const std::vector<uint32_t> &guestStrings) : guestStrings_(guestStrings) {}

    Case next()
    {
        Case c;
        int directives = 1 + int(r_.below(3));
        for (int i = 0; i < directives; ++i) {
            std::string literal = kLiterals[r_.below(uint32_t(kLiterals.size()))];
            c.format += literal;
            c.expected += literal;
            directive(c);
        }
        return c;
    }

private:
    uint32_t value()
    {
        switch (r_.below(5)) {
        case 0: return r_.next();
        case 1: return r_.below(1000);
        case 2: return uint32_t(-int32_t(r_.below(100000)));
        case 3: return r_.chance(50) ? 0x80000000u : 0x7FFFFFFFu;
        default: return 0;
        }
    }

    // Flags, width and precision; * values go to stars and to the words.
    std::string layout(char conv, std::vector<int> &stars, Case &c, bool &hasPrecision,
                       bool &zeroPrecision)
    {
        std::string spec;
        bool left = false;
        for (uint32_t n = r_.below(4); n > 0; --n) {
            char flag = "-0+"[r_.below(3)];
            if (flag == '0' && conv == 's')
                continue;
            left |= flag == '-';
            spec += flag;
        }
        bool width = !(left && conv == 's') && r_.chance(60);
        if (width)
            spec += star(stars, c, 1 + r_.below(20));
        hasPrecision = r_.chance(40);
        if (hasPrecision) {
            uint32_t precision = r_.below(12);
            zeroPrecision = precision == 0;
            spec += '.';
            if (precision != 0 || r_.chance(50))
                spec += star(stars, c, precision);
        }
        return spec;
    }

    std::string star(std::vector<int> &stars, Case &c, uint32_t n)
    {
        if (r_.chance(70))
            return std::to_string(n);
        stars.push_back(int(n));
        c.words.push_back(n);
        return "*";
    }

    void directive(Case &c)
    {
        char conv = "diuxXsc%"[r_.below(8)];
        std::vector<int> stars;
        std::string spec = "%";
        if (conv == 'c' || conv == '%') {
            spec += conv;
            c.format += spec;
            if (conv == '%') {
                c.expected += '%';
            } else {
                uint32_t ch = r_.below(256);
                c.words.push_back(ch);
                c.expected += hostDirective(spec, stars, int(ch));
            }
            return;
        }
        bool hasPrecision = false, zeroPrecision = false;
        spec += layout(conv, stars, c, hasPrecision, zeroPrecision);
        spec += conv;
        c.format += spec;
        if (conv == 's') {
            uint32_t k = r_.below(uint32_t(kStrings.size()));
            c.words.push_back(guestStrings_[k]);
            c.expected += hostDirective(spec, stars, kStrings[k].c_str());
            return;
        }
        uint32_t v = value();
        if (v == 0 && zeroPrecision)
            v = 1 + r_.below(9);
        c.words.push_back(v);
        c.expected += hostDirective(spec, stars, int(v));
    }

    Random r_{0x2545F491u};
    const std::vector<uint32_t> &guestStrings_;
};

uint32_t callWords(Guest &g, const char *fn, const std::vector<uint32_t> &w)
{
    switch (w.size()) {
    case 3: return g.call(fn, {w[0], w[1], w[2]});
    case 4: return g.call(fn, {w[0], w[1], w[2], w[3]});
    case 5: return g.call(fn, {w[0], w[1], w[2], w[3], w[4]});
    case 6: return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5]});
    case 7: return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5], w[6]});
    case 8: return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]});
    case 9: return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8]});
    case 10: return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9]});
    case 11:
        return g.call(fn, {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10]});
    case 12:
        return g.call(fn,
                      {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11]});
    }
    ADD_FAILURE() << "unsupported argument count " << w.size();
    return 0;
}

TEST(SnprintfDifferential, AgreesWithTheHostWhereBothAreDefined)
{
    Guest &g = Guest::drape();
    std::vector<uint32_t> guestStrings;
    for (const std::string &s : kStrings)
        guestStrings.push_back(g.str(s));
    uint32_t format = g.alloc(128);
    uint32_t array = g.alloc(kArrayRoom);
    const std::string blank(kArrayRoom, char(kMarker));

    Generator gen(guestStrings);
    Random sizes(0x9E3779B9u);
    int failures = 0;
    for (int i = 0; i < kCases && failures < 10; ++i) {
        Case c = gen.next();
        uint32_t pick = sizes.below(4);
        uint32_t size = pick == 0 ? 0 : pick == 1 ? sizes.below(uint32_t(c.expected.size()) + 2) : 200;
        bool nullArray = size == 0 && sizes.chance(50);
        g.write(format, c.format + '\0');
        g.write(array, blank);

        std::vector<uint32_t> words = {nullArray ? 0 : array, size, format};
        words.insert(words.end(), c.words.begin(), c.words.end());
        int result = int(callWords(g, "snprintf", words));

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
