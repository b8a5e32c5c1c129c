// Output. On the console, seen through the console bytes and the exact write
// requests the kernel receives: the writer, the plain output routines, the
// formatter. Into memory: the layout of each conversion, the storing rule at
// the end of the array (placed right against an unmapped page, so a store
// past the given size faults), the digit renderer and sprintf's fixed size;
// and the memory formatter against the host's snprintf over generated formats.
#include "support.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using Lengths = std::vector<uint32_t>;

class StdioConsole : public GuestTest {
protected:
    uint32_t stream(const char *name) { return stdStream(g, name); }
    uint32_t fprintfOn(uint32_t stream, const std::string &format, const std::vector<Word> &words = {})
    {
        return callWith(g, "fprintf", {stream, g.str(format)}, words);
    }
    uint32_t print(const std::string &format, const std::vector<Word> &words = {})
    {
        return fprintfOn(stream("stdout"), format, words);
    }
    Lengths writeLengths() const
    {
        Lengths lengths;
        for (const CallRecord &c : g.calls())
            if (c.name == "write")
                lengths.push_back(c.args[2]);
        return lengths;
    }
    uint32_t memstream() { return g.call("open_memstream", {g.alloc(4), g.alloc(4)}); }
    std::string content(uint32_t stream) { return g.readStr(g.read32(stream + 12)); }
};

// Each format on a fresh guest: the console bytes and the count returned.
TEST_F(StdioConsole, FormatsPrintAndCountTheBytes)
{
    // clang-format off
    const struct { std::string format; std::vector<Word> words; std::string out; } rows[] = {
        {"", {}, ""}, {"hello", {}, "hello"}, {"%d", {0x80000000u}, "-2147483648"},
        {"%d|%i|%u|%x|%ld|%lu", {-7, 42, kFail, 0xdeadbeefu, -8, 3000000000u},
         "-7|42|4294967295|deadbeef|-8|3000000000"},
        // No flags exist: - and + are unknown letters, and a leading 0 is a width digit.
        {"%5d|%05d|%-5d|%+d", {42, 42, 42}, "   42|   42|%-5d|%+d"},
        {"%.3d|%8.3d|%8.3x|%.10d", {-5, -5, 0xab, 1}, "-005|    -005|     0ab|0000000001"},
        {"%.0d|%.d|%.0x", {0, 0, 0}, "0|0|0"},
        {"%8p|%p|%p|%.4p", {0x10, 0, 0xc0ffee, 0x1f}, "    0x10|0x0|0xc0ffee|0x001f"},
        {"%lld|%llu|%llx", {kFail, kFail, 0u, 1u, 0u, 16u}, "-1|4294967296|1000000000"},
        {"%llx|%llu", {0x89abcdefu, 0x01234567u, kFail, kFail}, "123456789abcdef|18446744073709551615"},
        {"%lld|%d", {0u, 0x80000000u, 7}, "-9223372036854775808|7"},
        {"%s|%s|%5s|%.2s|%5.2s", {"", nullptr, "ab", "abcd", "abcd"}, "|(null)|   ab|ab|   ab"},
        {"%*s|%.*s|%5s|", {4, "x", 1, "yz", 0x10}, "   x|y|     |"}, {"%*d|%.*d|%*5", {-6, 3, -1, 7, 2}, "3|7|%5"},
        {"%X%o%f%e%g%n%h%z% %#%d", {9}, "%X%o%f%e%g%n%h%z% %#9"}, {"%5%|%%|%.3%|%*%%d", {9, 5}, "%|%|%|%5"},
        {"%lll", {}, "%l"}, {"A%c%c", {'z', 0x141}, "AzA"}, {"ab%", {}, "ab"}, {"ab%5", {}, "ab"},
        {"ab%ll", {}, "ab"}, {"ab%5.", {}, "ab"}};
    // clang-format on
    for (const auto &row : rows) {
        g.reset();
        EXPECT_EQ(print(row.format, row.words), row.out.size()) << row.format;
        EXPECT_EQ(g.console(), row.out) << row.format;
    }
}

// Literal characters, fill, sign and prefix go one byte per write; a string
// or a digit run as one write, and an empty one as none.
TEST_F(StdioConsole, FormatterRequestShapes)
{
    EXPECT_EQ(print("%s|%5p|%d%s", {"hello", 1, -42, ""}), 15u);
    EXPECT_EQ(print("ab%6.4x", {0xab}), 8u);
    EXPECT_EQ(g.console(), "hello|  0x1|-42ab  00ab");
    EXPECT_EQ(writeLengths(), (Lengths{5, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 2}));
}

TEST_F(StdioConsole, ColourPacketOpensOnlyAConsoleFormat)
{
    EXPECT_EQ(print("%c", {1, 2, 3}), 0u);
    EXPECT_EQ(print("%cX%c%d", {0x141, 0x142, 0x143, 'Q', 77}), 4u);
    EXPECT_EQ(fprintfOn(stream("stderr"), "%c", {7, 8, 9}), 0u);
    EXPECT_EQ(g.console(), "\xff\x01\x02\x03\xff\x41\x42\x43XQ77\xff\x07\x08\x09");
    EXPECT_EQ(writeLengths(), (Lengths{4, 4, 1, 1, 2, 4}));
    // Elsewhere, or not leading, %c is a plain character.
    g.reset();
    uint32_t s = memstream();
    EXPECT_EQ(fprintfOn(s, "%c%c", {'A', 'B', 'C'}), 2u);
    EXPECT_EQ(content(s), "AB");
    EXPECT_EQ(print("%3c%c", {'x', 'y', 'z'}), 2u);
    EXPECT_EQ(g.console(), "xy");
    EXPECT_EQ(fprintfOn(stream("stdin"), "%c", {1, 2, 3}), kFail);
    EXPECT_EQ(writeLengths(), (Lengths{1, 1}));
}

TEST_F(StdioConsole, FirstFailedRequestEndsTheCall)
{
    g.inject("write", 2, 0);
    EXPECT_EQ(print("abc"), kFail);
    EXPECT_EQ(g.console(), "a");
    EXPECT_EQ(writeLengths().size(), 2u);
    g.reset();
    g.inject("write", 1, -5);
    EXPECT_EQ(print("%cabc", {1, 2, 3}), kFail);
    EXPECT_EQ(writeLengths(), Lengths{4});
    // A kernel that takes nothing, or fails, ends the writer at once.
    for (int32_t answer : {0, -1}) {
        g.reset();
        g.inject("write", 0, answer);
        EXPECT_EQ(g.call("file_write_bytes", {stream("stdout"), g.str("abc"), 3u}), kFail);
        EXPECT_EQ(writeLengths().size(), 1u) << answer;
    }
}

// A short write is continued from where it stopped; a request past the signed
// limit is split there (the second kernel accepts all without touching memory).
TEST_F(StdioConsole, WriterContinuesAndSplits)
{
    uint32_t data = g.str("0123456789");
    int writes = 0;
    g.onCall([&](const CallRecord &c, GuestMemoryView &) -> std::optional<int32_t> {
        return c.name == "write" && ++writes == 1 ? std::optional<int32_t>(4) : std::nullopt;
    });
    EXPECT_EQ(g.call("file_write_bytes", {stream("stdout"), data, 10u}), 0u);
    ASSERT_EQ(writeLengths(), (Lengths{10, 6}));
    EXPECT_EQ(g.calls()[1].args[1], data + 4);
    EXPECT_EQ(g.console(), "456789");
    g.reset();
    g.onCall([](const CallRecord &c, GuestMemoryView &) -> std::optional<int32_t> { return int32_t(c.args[2]); });
    data = g.alloc(16);
    EXPECT_EQ(g.call("file_write_bytes", {stream("stdout"), data, 0x80000005u}), 0u);
    ASSERT_EQ(writeLengths(), (Lengths{0x7FFFFFFFu, 6}));
    EXPECT_EQ(g.calls()[1].args[1], data + 0x7FFFFFFFu);
}

// puts sends its newline as a request of its own; fwrite writes the whole
// product at once.
TEST_F(StdioConsole, FputcFputsPutsAndFwrite)
{
    const uint32_t out = stream("stdout");
    EXPECT_EQ(g.call("fputc", {0x141, out}), 0x141u);
    EXPECT_EQ(g.call("fputc", {-1, out}), kFail);
    EXPECT_EQ(g.call("putchar", {'z'}), uint32_t('z'));
    EXPECT_EQ(g.call("fputs", {g.str("hello"), out}), 5u);
    EXPECT_EQ(g.call("fputs", {0x10u, out}), 0u);
    for (uint32_t text : {g.str("hi"), g.str(""), 0x10u})
        EXPECT_EQ(g.call("puts", {text}), 0u);
    EXPECT_EQ(g.call("fwrite", {g.str("abcdef"), 2u, 3u, out}), 3u);
    EXPECT_EQ(g.console(), "A\xffzhellohi\n\n\nabcdef");
    EXPECT_EQ(writeLengths(), (Lengths{1, 1, 1, 5, 2, 1, 1, 1, 6}));
    g.reset();
    g.inject("write", 1, -1);
    EXPECT_EQ(g.call("puts", {g.str("hi")}), kFail);
    EXPECT_EQ(writeLengths().size(), 1u);
}

// Refusals, none of which reaches the kernel.
TEST_F(StdioConsole, RefusalsMakeNoRequest)
{
    const uint32_t out = stream("stdout"), in = stream("stdin"), text = g.str("abc"), empty = g.str("");
    // clang-format off
    const struct { const char *fn; std::vector<uint32_t> args; uint32_t result; } refused[] = {
        {"fputc", {'a', in}, kFail}, {"fputs", {text, in}, kFail}, {"fputs", {empty, in}, 0},
        {"fputs", {0, out}, kFail}, {"fputs", {empty, 0}, kFail}, {"puts", {0}, kFail},
        {"fwrite", {text, 0, 3, out}, 0}, {"fwrite", {text, 2, 0, out}, 0}, {"fwrite", {0, 2, 3, out}, 0},
        {"fwrite", {text, 2, 3, 0}, 0}, {"fwrite", {text, 0x10000, 0x10000, out}, 0}, {"fwrite", {text, 1, 1, in}, 0},
        {"file_write_bytes", {0, text, 3}, kFail}, {"file_write_bytes", {out, 0, 0}, kFail},
        {"file_write_bytes", {in, text, 3}, kFail}, {"file_write_bytes", {in, text, 0}, 0}, {"fflush", {0}, 0},
        {"fprintf", {0, text}, kFail}, {"printf", {0}, kFail}};
    // clang-format on
    for (const auto &r : refused)
        EXPECT_EQ(callWords(g, r.fn, r.args), r.result) << r.fn << " " << ::testing::PrintToString(r.args);
    EXPECT_TRUE(g.calls().empty());
}

// The records are static data from load on; printf and puts follow whatever
// stdout holds at the time of the call.
TEST_F(StdioConsole, StandardStreams)
{
    // clang-format off
    struct { const char *record, *pointer; uint8_t fd; } rows[] = {
        {"g_stdin", "stdin", 0}, {"g_stdout", "stdout", 1}, {"g_stderr", "stderr", 1}};
    // clang-format on
    for (const auto &r : rows) {
        std::string expected(44, '\0');
        expected[0] = 1, expected[4] = char(r.fd);
        EXPECT_EQ(stream(r.pointer), g.sym(r.record));
        EXPECT_EQ(bytesAt(g, g.sym(r.record), 44), expected) << r.record;
    }
    uint32_t s = memstream();
    g.write32(g.sym("stdout"), s);
    EXPECT_EQ(print("%c%d", {'x', 5}), 2u);
    EXPECT_EQ(g.call("puts", {g.str("!")}), 0u);
    EXPECT_EQ(content(s), "x5!\n");
    EXPECT_TRUE(g.calls().empty());
}

constexpr uint8_t kMarker = 0xA5;

class Snprintf : public GuestTest {
protected:
    // An array of size bytes ending at an unmapped page, filled with a marker.
    uint32_t arrayAtGuard(uint32_t size)
    {
        uint32_t a = g.allocAtGuard(size);
        g.write(a, std::string(size, char(kMarker)));
        return a;
    }
};

struct Row {
    const char *format; // null stands for a null format
    std::vector<Word> args;
    uint32_t size;
    std::string stored; // the characters in front of the terminator
    int result;
    bool nullArray = false;
};

// Plain flags, widths and precisions on d i u x X s are the differential
// test's; these rows hold the storing rule and what that test leaves out.
const std::vector<Row> kRows = {
    // clang-format off
    {"hello", {}, 0, "", 5}, {"hello", {}, 1, "", 5}, {"hello", {}, 5, "hell", 5}, {"hello", {}, 6, "hello", 5},
    {"%5d", {42}, 3, "  ", 5}, {"%d", {12345}, 0, "", 5, true}, {nullptr, {}, 8, "", 0}, {"", {}, 8, "", 0},
    {"100%", {}, 32, "100", 3}, {"%llX", {171}, 32, "AB", 2}, {"%zu%lu", {7, 8}, 32, "78", 2},
    {"%.0d", {0}, 32, "0", 1}, {"%.d", {0}, 32, "0", 1}, {"%.*d", {-3, 5}, 32, "5", 1},
    {"%05.*d", {-1, 42}, 32, "00042", 5}, {"%*d", {-5, 42}, 32, "42", 2}, {"%-5s", {"ab"}, 32, "ab", 2},
    {"%-*s", {-5, "ab"}, 32, "   ab", 5}, {"%*s", {-5, "ab"}, 32, "ab", 2}, {"%05s", {"ab"}, 32, "   ab", 5},
    {"%.3s", {nullptr}, 32, "(nu", 3}, {"%10s", {nullptr}, 32, "    (null)", 10},
    {"%.*s", {-2, "abc"}, 32, "abc", 3}, {"%5c", {65}, 32, "A", 1}, {"a%cb", {0}, 32, std::string("a\0b", 3), 3},
    {"%c", {0x141}, 32, "A", 1}, {"%10p", {0xab}, 32, "0xab", 4}, {"%p", {0}, 32, "0x0", 3},
    {"%p", {0xDEADBEEFu}, 32, "0xdeadbeef", 10}, {"%q%d", {5}, 32, "%q5", 3}, {"%hd", {5}, 32, "%hd", 3},
    {"%*5d", {3, 7}, 32, "%5d", 3}, {"%5%", {}, 32, "%", 1}, {"% d", {5}, 32, "% d", 3}, {"%#x", {5}, 32, "%#x", 3},
    {"%lz", {}, 32, "%z", 2}, {"%\xe9", {}, 32, "%\xe9", 2}, {"%lld %d", {1, 0, 2}, 32, "1 0", 3},
    {"ab%", {}, 32, "ab", 2}, {"ab%5", {}, 32, "ab", 2}, {"ab%l", {}, 32, "ab", 2}, {"ab%ll", {}, 32, "ab", 2},
    {"ab%.", {}, 32, "ab", 2}, {"ab%-", {}, 32, "ab", 2}, {"ab%*", {4}, 32, "ab", 2},
    {"abcdef", {}, 7, "abcdef", 6}, {"abcdefg", {}, 7, "abcdef", 7},
    // clang-format on
    {"%s|%d", {"long text", 12345}, 4, "lon", 15},
};

TEST_F(Snprintf, LayoutAndStoringRule)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(testing::Message() << "format " << (row.format ? row.format : "(null)") << " size " << row.size);
        uint32_t array = row.nullArray ? 0 : arrayAtGuard(row.size);
        EXPECT_EQ(int(callWith(g, "snprintf", {array, row.size, row.format ? g.str(row.format) : 0}, row.args)),
                  row.result);
        if (row.size == 0 || row.nullArray)
            continue;
        std::string want = row.stored + '\0';
        want.resize(row.size, char(kMarker));
        EXPECT_EQ(bytesAt(g, array, row.size), want);
    }
}

// sprintf stores at most 65535 characters.
TEST_F(Snprintf, LargeCountsAndRenderer)
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
        {"%2147483648d", 5, "       "}, {"%99999999999999999999d", 5, "       "},
        {"%.4294967296d", 5, "0000000"}, {"%-2147483647d", 5, "5      "}, {"%2147483647s", "ab", "       "}};
    // clang-format on
    for (const auto &c : cases) {
        uint32_t array = arrayAtGuard(8);
        EXPECT_EQ(callWith(g, "snprintf", {array, 8, g.str(c.format)}, {c.arg}), 2147483647u) << c.format;
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
}

// The differential run keeps to what both formatters agree on: flags - 0 +,
// widths and precisions in digits or from * (never negative), conversions
// d i u x X s c %. Left out because this formatter differs: %-Ns, a zero
// precision with the value 0, flags on %c, the zero flag on %s, %p, length
// modifiers and negative * values.
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
