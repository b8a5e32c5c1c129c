// stdio. Output on the console, seen through the console bytes and the exact
// write requests the kernel receives: the writer, the plain output routines,
// the formatter. Output into memory: the layout of each conversion and
// sprintf's fixed size, in arrays placed right against an unmapped page (so a
// store past the given size faults), and the memory formatter against the
// host's snprintf over generated formats. File and memory streams against the
// harness's scratch root folder: what reaches the host and when, reading and
// positioning, and buffer growth (one buffer code for whole files and
// memory). Formatted input: the scanner's conversions and white-space
// classes, and fscanf's one-token reads from descriptor streams.
#include "support.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using namespace std::string_literals;

// Fills destinations and arrays, so that a stray store shows.
constexpr uint8_t kMarker = 0xA5;

// Field offsets in the stream record.
constexpr uint32_t kKind = 0, kFd = 4, kBuf = 12, kLen = 16, kCap = 20, kPos = 36, kEof = 40;

class StdioStreams : public GuestTest {
protected:
    uint32_t fopen(const char *path, const char *mode)
    {
        return g.call("fopen", {path ? g.str(path) : 0u, mode ? g.str(mode) : 0u});
    }
    // A stream reading a host file that holds bytes.
    uint32_t reading(const std::string &bytes)
    {
        writeFile(inRoot(g, "in.txt"), bytes);
        return fopen("/in.txt", "r");
    }
    uint32_t fputs(const std::string &text, uint32_t s) { return g.call("fputs", {g.str(text), s}); }
    uint32_t field(uint32_t s, uint32_t offset) const { return g.read32(s + offset); }
    uint32_t heapUsed() const { return g.read32(g.sym("g_heap_used")); }
    uint32_t call(const char *fn, uint32_t s) { return g.call(fn, {s}); }
    using Where = std::pair<uint32_t, uint32_t>; // position and end-of-input flag
    Where where(uint32_t s) { return {call("ftell", s), call("feof", s)}; }
    // The same as the record holds it, also for streams that ftell refuses.
    Where recorded(uint32_t s) const { return {field(s, kPos), field(s, kEof)}; }
};

using Lengths = std::vector<uint32_t>;

class StdioConsole : public StdioStreams {
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
    std::string content(uint32_t s) const { return g.readStr(field(s, kBuf)); }
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

// perror's pieces on stderr, which is the console.
TEST_F(StdioConsole, PerrorWritesItsPieces)
{
    g.write32(g.sym("errno"), 2);
    for (uint32_t prefix : {g.str("open"), 0u, g.str("")})
        g.call("perror", {prefix});
    EXPECT_EQ(writeLengths(), (Lengths{4, 2, 12, 1, 12, 1, 12, 1}));
    EXPECT_EQ(g.console(), "open: no such file\nno such file\nno such file\n");
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

// printf and puts follow whatever stdout holds at the time of the call. (The
// standard records are constant data; every console and input test reads
// through them.)
TEST_F(StdioConsole, StandardStreams)
{
    uint32_t s = memstream();
    g.write32(g.sym("stdout"), s);
    EXPECT_EQ(print("%c%d", {'x', 5}), 2u);
    EXPECT_EQ(g.call("puts", {g.str("!")}), 0u);
    EXPECT_EQ(content(s), "x5!\n");
    EXPECT_TRUE(g.calls().empty());
}

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

// A format (null stands for a null format), its argument words and its whole
// output, which fits the array.
struct Row {
    const char *format;
    std::vector<Word> args;
    std::string output;
};

// Plain flags, widths and precisions on d i u x X s, and the storing rule at
// every size, are the differential test's; these rows hold what it leaves out.
const std::vector<Row> kRows = {
    // clang-format off
    {nullptr, {}, ""}, {"", {}, ""}, {"100%", {}, "100"}, {"%llX", {171}, "AB"}, {"%zu%lu", {7, 8}, "78"},
    {"%.0d", {0}, "0"}, {"%.d", {0}, "0"}, {"%.*d", {-3, 5}, "5"}, {"%05.*d", {-1, 42}, "00042"},
    {"%*d", {-5, 42}, "42"}, {"%-5s", {"ab"}, "ab"}, {"%-*s", {-5, "ab"}, "   ab"}, {"%*s", {-5, "ab"}, "ab"},
    {"%05s", {"ab"}, "   ab"}, {"%.3s", {nullptr}, "(nu"}, {"%10s", {nullptr}, "    (null)"},
    {"%.*s", {-2, "abc"}, "abc"}, {"%5c", {65}, "A"}, {"a%cb", {0}, std::string("a\0b", 3)}, {"%c", {0x141}, "A"},
    {"%10p", {0xab}, "0xab"}, {"%p", {0}, "0x0"}, {"%p", {0xDEADBEEFu}, "0xdeadbeef"}, {"%q%d", {5}, "%q5"},
    {"%hd", {5}, "%hd"}, {"%*5d", {3, 7}, "%5d"}, {"%5%", {}, "%"}, {"% d", {5}, "% d"}, {"%#x", {5}, "%#x"},
    {"%lz", {}, "%z"}, {"%\xe9", {}, "%\xe9"}, {"%lld %d", {1, 0, 2}, "1 0"}, {"ab%", {}, "ab"},
    {"ab%5", {}, "ab"}, {"ab%l", {}, "ab"}, {"ab%ll", {}, "ab"}, {"ab%.", {}, "ab"}, {"ab%-", {}, "ab"},
    {"ab%*", {4}, "ab"}};
// clang-format on

TEST_F(Snprintf, Layout)
{
    constexpr uint32_t kSize = 32;
    for (const Row &row : kRows) {
        SCOPED_TRACE(testing::Message() << "format " << (row.format ? row.format : "(null)"));
        const uint32_t array = arrayAtGuard(kSize);
        EXPECT_EQ(callWith(g, "snprintf", {array, kSize, row.format ? g.str(row.format) : 0}, row.args),
                  row.output.size());
        std::string want = row.output + '\0';
        want.resize(kSize, char(kMarker));
        EXPECT_EQ(bytesAt(g, array, kSize), want);
    }
}

// sprintf stores at most 65535 characters.
TEST_F(Snprintf, LargeCounts)
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

// Any word, a small one, a small negative one, or an extreme.
uint32_t value(Random &r)
{
    uint32_t kind = r.below(4);
    // clang-format off
    return kind == 0 ? r.state : kind == 1 ? r.below(1000) : kind == 2 ? uint32_t(-int32_t(r.below(100000)))
                                                                      : r.below(2) ? 0x80000000u : 0;
    // clang-format on
}

// One directive: the guest's takes a width or precision in digits or from *,
// the host's always in digits (never negative here, so both read the same).
void addDirective(Random &r, Case &c, const std::vector<uint32_t> &guestStrings)
{
    char conv = "diuxXsc%"[r.below(8)];
    std::string guest = "%", host = "%";
    const auto count = [&](const char *lead, uint32_t n) {
        const bool star = r.below(3) == 0;
        host += lead + std::to_string(n);
        guest += lead + (star ? std::string("*") : std::to_string(n));
        if (star)
            c.words.push_back(n);
    };
    bool zeroPrecision = false;
    if (conv != 'c' && conv != '%') {
        bool left = false;
        for (uint32_t n = r.below(4); n > 0; --n) {
            char flag = "-0+"[r.below(3)];
            if (flag != '0' || conv != 's')
                guest += flag;
            left |= flag == '-';
        }
        host = guest;
        if (!(left && conv == 's') && r.below(2))
            count("", 1 + r.below(20));
        if (r.below(3) == 0) {
            uint32_t precision = r.below(12);
            zeroPrecision = precision == 0;
            count(".", precision);
        }
    }
    c.format += guest + conv;
    host += conv;
    char buf[128];
    int n = 0;
    if (conv == '%') {
        c.expected += '%';
    } else if (conv == 's') {
        uint32_t k = r.below(uint32_t(kStrings.size()));
        c.words.push_back(guestStrings[k]);
        n = snprintf(buf, sizeof buf, host.c_str(), kStrings[k].c_str());
    } else {
        uint32_t v = conv == 'c' ? r.below(256) : value(r);
        if (v == 0 && zeroPrecision)
            v = 1;
        c.words.push_back(v);
        n = snprintf(buf, sizeof buf, host.c_str(), int(v));
    }
    c.expected.append(buf, size_t(n));
}

// Stops at the first disagreement, which names its case.
TEST(SnprintfDifferential, AgreesWithTheHostWhereBothAreDefined)
{
    Guest &g = drapeGuest();
    std::vector<uint32_t> guestStrings;
    for (const std::string &s : kStrings)
        guestStrings.push_back(g.str(s));
    uint32_t format = g.alloc(128), array = g.alloc(kArrayRoom);
    const std::string blank(kArrayRoom, char(kMarker));
    Random r{0x2545F491u};
    for (int i = 0; i < kCases; ++i) {
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
        std::string want = size == 0 ? "" : c.expected.substr(0, size - 1) + '\0';
        want += blank.substr(want.size());
        ASSERT_TRUE(result == int(c.expected.size()) && bytesAt(g, array, kArrayRoom) == want)
            << "case " << i << ": format \"" << c.format << "\" size " << size << " expected \"" << c.expected << "\" ("
            << c.expected.size() << "), result " << result;
    }
}

TEST_F(StdioStreams, WholeFileAppearsOnlyAtClose)
{
    uint32_t s = fopen("/out.txt", "w");
    EXPECT_EQ(fputs("abc", s), 3u);
    EXPECT_EQ(g.call("fprintf", {s, g.str("%d-%s\n"), 42, g.str("x")}), 5u);
    EXPECT_EQ(call("fflush", s), 0u);
    EXPECT_FALSE(std::filesystem::exists(inRoot(g, "out.txt")));
    EXPECT_EQ(call("fclose", s), 0u);
    EXPECT_EQ(readFile(inRoot(g, "out.txt")), "abc42-x\n");
    EXPECT_EQ(countCalls(g, "writefile"), 1u);
    EXPECT_EQ(countCalls(g, "write"), 0u);
    // Nothing written still makes an (empty) file.
    EXPECT_EQ(call("fclose", fopen("/empty", "w")), 0u);
    EXPECT_EQ(std::filesystem::file_size(inRoot(g, "empty")), 0u);
    // A refused file fails only at close.
    s = fopen("/no/such/dir/file", "w");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(fputs("lost", s), 4u);
    EXPECT_EQ(call("fclose", s), kFail);
}

TEST_F(StdioStreams, OpenModesAndFailedOpens)
{
    writeFile(inRoot(g, "in.txt"), "data");
    EXPECT_EQ(fopen(nullptr, "r"), stdStream(g, "stdin"));
    EXPECT_EQ(fopen("-", "rb"), stdStream(g, "stdin"));
    EXPECT_EQ(fopen("-", "w"), stdStream(g, "stdout"));
    for (const char *mode : {"a", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(fopen("/in.txt", mode), 0u) << (mode ? mode : "null");
    EXPECT_EQ(fopen(nullptr, "a"), 0u);
    uint32_t r = fopen("/in.txt", "r+");
    ASSERT_NE(r, 0u);
    EXPECT_EQ(field(r, kKind), 1u);
    EXPECT_EQ(fputs("x", r), kFail);
    EXPECT_EQ(field(fopen("/new.txt", "w+"), kKind), 3u);
    EXPECT_EQ(countCalls(g, "open"), 1u);
    // Failed opens take nothing.
    g.reset();
    EXPECT_EQ(fopen("/missing.txt", "r"), 0u);
    EXPECT_EQ(heapUsed(), 0u);
    // Without heap for the record the descriptor is closed again.
    writeFile(inRoot(g, "in.txt"), "data");
    g.write32(g.sym("g_heap_used"), kHeapSize);
    EXPECT_EQ(fopen("/in.txt", "r"), 0u);
    EXPECT_EQ(countCalls(g, "close"), 1u);
    EXPECT_EQ(fopen("/in.txt", "w"), 0u);
}

TEST_F(StdioStreams, ReadsRewindsAndSeeks)
{
    uint32_t s = reading("hello world"), buf = g.alloc(16);
    EXPECT_EQ(call("fgetc", s), uint32_t('h'));
    EXPECT_EQ(where(s), (Where{1, 0}));
    EXPECT_EQ(g.call("fread", {buf, 4u, 3u, s}), 2u);
    EXPECT_EQ(bytesAt(g, buf, 10), "ello world");
    EXPECT_EQ(where(s), (Where{11, 1}));
    EXPECT_EQ(countCalls(g, "read"), 2u);
    // Seeking clears the end of input; a failed seek moves nothing.
    EXPECT_EQ(g.call("fseek", {s, 6, 0}), 0u);
    EXPECT_EQ(where(s), (Where{6, 0}));
    EXPECT_EQ(call("fgetc", s), uint32_t('w'));
    EXPECT_EQ(g.call("fseek", {s, 100, 0}), 0u);
    g.inject("lseek", 0, -22);
    EXPECT_EQ(g.call("fseek", {s, 2, 0}), kFail);
    EXPECT_EQ(where(s), (Where{100, 0}));
    g.reset();
    g.setStdin("Q");
    EXPECT_EQ(g.call("getchar"), uint32_t('Q'));
    EXPECT_EQ(g.call("getchar"), kFail);
    EXPECT_EQ(call("feof", stdStream(g, "stdin")), 1u);
    // Rewinding clears the end of input; a failed read looks like the end of
    // input.
    s = reading("\xe9");
    EXPECT_EQ(call("fgetc", s), 0xE9u);
    EXPECT_EQ(where(s), (Where{1, 0}));
    EXPECT_EQ(call("fgetc", s), kFail);
    EXPECT_EQ(where(s), (Where{1, 1}));
    call("rewind", s);
    EXPECT_EQ(where(s), (Where{0, 0}));
    EXPECT_EQ(call("fgetc", s), 0xE9u);
    EXPECT_EQ(call("ferror", s), 0u);
    g.inject("read", 0, -5);
    call("rewind", s);
    EXPECT_EQ(g.call("fread", {g.alloc(4), 1u, 4u, s}), 0u);
    EXPECT_EQ(where(s), (Where{0, 1}));
}

TEST_F(StdioStreams, OnlyOpenedFilesArePositionedOrClosed)
{
    uint32_t mem = g.call("open_memstream", {g.alloc(4), g.alloc(4)});
    for (uint32_t t : {0u, stdStream(g, "stdin"), stdStream(g, "stdout"), mem}) {
        EXPECT_EQ(g.call("fseek", {t, 0, 0}), kFail) << t;
        EXPECT_EQ(call("ftell", t), kFail) << t;
    }
    EXPECT_EQ(call("feof", 0), 1u);
    EXPECT_EQ(call("ferror", 0), 1u);
    call("rewind", 0);
    EXPECT_TRUE(g.calls().empty());
    // Closing releases a file's descriptor, but not a standard stream.
    uint32_t s = reading("x"), fd = field(s, kFd);
    EXPECT_EQ(call("fclose", s), 0u);
    ASSERT_EQ(countCalls(g, "close"), 1u);
    EXPECT_EQ(g.calls().back().args[0], fd);
    EXPECT_EQ(call("fclose", stdStream(g, "stdout")), 0u);
    EXPECT_EQ(call("fclose", stdStream(g, "stdin")), 0u);
    EXPECT_EQ(call("fclose", 0), kFail);
    EXPECT_EQ(countCalls(g, "close"), 1u);
    EXPECT_EQ(g.call("printf", {g.str("still")}), 5u);
    EXPECT_EQ(g.console(), "still");
}

// A byte pushed back comes first to every reader, once; lines are read a
// byte per read and stop after their newline.
TEST_F(StdioStreams, PushBackAndLines)
{
    uint32_t s = reading("ab\ncd"), buf = g.alloc(16), line = g.alloc(4), cap = g.alloc(4);
    auto fgetsFrom = [&](uint32_t stream, int n) {
        return g.call("fgets", {buf, n, stream}) == buf ? g.readStr(buf) : std::string("null");
    };
    EXPECT_EQ(call("fgetc", s), uint32_t('a'));
    EXPECT_EQ(g.call("ungetc", {0x178, s}), uint32_t('x'));
    EXPECT_EQ(g.call("ungetc", {'y', s}), kFail) << "one byte at a time";
    EXPECT_EQ(where(s), (Where{0, 0}));
    EXPECT_EQ(call("getc", s), uint32_t('x'));
    EXPECT_EQ(fgetsFrom(s, 16), "b\n");
    EXPECT_EQ(g.call("getline", {line, cap, s}), 2u);
    EXPECT_EQ(g.readStr(g.read32(line)), "cd");
    EXPECT_EQ(g.read32(cap), 128u);
    EXPECT_EQ(countCalls(g, "read"), 6u);
    EXPECT_EQ(fgetsFrom(s, 16), "null");
    EXPECT_EQ(g.call("getline", {line, cap, s}), kFail);
    // ungetc clears the end of input; fread and fscanf take the byte first,
    // a seek forgets it.
    EXPECT_EQ(g.call("ungetc", {'z', s}), uint32_t('z'));
    EXPECT_EQ(where(s), (Where{4, 0}));
    EXPECT_EQ((std::vector{g.call("fread", {buf, 1u, 4u, s}), uint32_t(g.read8(buf))}), (std::vector{1u, 0x7Au}));
    EXPECT_EQ(where(s), (Where{5, 1}));
    EXPECT_EQ((std::vector{g.call("ungetc", {'q', s}), g.call("fseek", {s, 1, 0})}), (std::vector{0x71u, 0u}));
    EXPECT_EQ(call("fgetc", s), uint32_t('b'));
    // A move from the current position starts at the byte pushed back.
    EXPECT_EQ((std::vector{g.call("ungetc", {'b', s}), g.call("fseek", {s, 1, 1}), call("fgetc", s)}),
              (std::vector{0x62u, 0u, 0x0Au}));
    s = reading("12 x");
    EXPECT_EQ(g.call("ungetc", {'4', s}), uint32_t('4'));
    EXPECT_EQ(g.call("fscanf", {s, g.str("%d"), buf}), 1u);
    EXPECT_EQ(g.read32(buf), 412u);
    // Refusals, and fgets' limits.
    const uint32_t mem = g.call("open_memstream", {g.alloc(4), g.alloc(4)});
    for (uint32_t t : {s, mem, 0u})
        EXPECT_EQ(g.call("ungetc", {t == s ? -1 : 'a', t}), kFail) << t;
    s = reading("abcdef");
    EXPECT_EQ(fgetsFrom(s, 3) + fgetsFrom(s, 0), "abnull");
    // A long line grows the buffer by doubling from 128.
    s = reading(std::string(300, 'L') + "\nrest");
    g.write32(line, 0);
    EXPECT_EQ(g.call("getline", {line, cap, s}), 301u);
    EXPECT_EQ(g.read32(cap), 512u);
}

TEST_F(StdioStreams, RemoveTakesFilesAndEmptyFolders)
{
    writeFile(inRoot(g, "file"), "x");
    std::filesystem::create_directories(inRoot(g, "full/inner"));
    const std::pair<const char *, uint32_t> rows[] = {{"/file", 0}, {"/full/inner", 0}, {"/full", 0}, {"/x", kFail}};
    for (const auto &[path, result] : rows)
        EXPECT_EQ(g.call("remove", {g.str(path)}), result) << path;
    EXPECT_TRUE(std::filesystem::is_empty(g.rootDir()));
}

class StdioMemstream : public StdioStreams {
protected:
    uint32_t bufVar = g.alloc(4), sizeVar = g.alloc(4), s = 0;
    void SetUp() override
    {
        g.write32(bufVar, 0xdeadbeef);
        g.write32(sizeVar, 0xdeadbeef);
        s = g.call("open_memstream", {bufVar, sizeVar});
        ASSERT_NE(s, 0u);
    }
    // The two caller variables, and the record's buffer, length and capacity.
    using Pair = std::pair<uint32_t, uint32_t>;
    Pair vars() const { return {g.read32(bufVar), g.read32(sizeVar)}; }
    std::vector<uint32_t> record() const { return {field(s, kBuf), field(s, kLen), field(s, kCap)}; }
};

TEST_F(StdioMemstream, PublishesAfterEveryWriteAndCannotBeRead)
{
    EXPECT_EQ(vars(), (Pair{0, 0}));
    EXPECT_EQ(fputs("", s), 0u);
    EXPECT_EQ(vars(), (Pair{0, 0}));
    EXPECT_EQ(record(), (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(fputs("abc", s), 3u);
    EXPECT_EQ(vars(), (Pair{field(s, kBuf), 3}));
    EXPECT_EQ(bytesAt(g, field(s, kBuf), 4), std::string("abc\0", 4));
    // It cannot be read.
    EXPECT_EQ(call("fgetc", s), kFail);
    EXPECT_EQ(g.call("fread", {g.alloc(4), 1u, 4u, s}), 0u);
    EXPECT_EQ(recorded(s), (Where{0, 0}));
    // Rewinding keeps the content; later writes append.
    call("rewind", s);
    EXPECT_EQ(fputs("d", s), 1u);
    EXPECT_EQ(call("fclose", s), 0u);
    EXPECT_EQ(g.readStr(g.read32(bufVar)), "abcd");
    EXPECT_EQ(g.read32(sizeVar), 4u);
    EXPECT_EQ(g.call("open_memstream", {0u, sizeVar}), 0u);
    EXPECT_EQ(g.call("open_memstream", {bufVar, 0u}), 0u);
    EXPECT_TRUE(g.calls().empty());
}

// Each row on a fresh stream: the sizes written one after another and the
// capacity after each.
TEST_F(StdioMemstream, CapacityFollowsTheDoublingRule)
{
    // clang-format off
    const struct { std::vector<uint32_t> writes, capacities; } rows[] = {
        {{255}, {256}}, {{256}, {512}}, {{300}, {512}}, {{600}, {1024}}, {{200, 100}, {256, 512}},
        {{1, 254, 1, 255}, {256, 256, 512, 512}}, {{511, 1, 1024}, {512, 1024, 2048}}};
    // clang-format on
    for (const auto &row : rows) {
        ASSERT_NE(s = g.call("open_memstream", {bufVar, sizeVar}), 0u);
        std::string expected;
        for (size_t i = 0; i < row.writes.size(); ++i) {
            const std::string bytes(row.writes[i], char('a' + i));
            ASSERT_EQ(g.call("fwrite", {g.str(bytes), row.writes[i], 1u, s}), 1u);
            expected += bytes;
            EXPECT_EQ(field(s, kCap), row.capacities[i]) << "write " << i << " of " << row.writes.size();
        }
        EXPECT_EQ(g.read32(sizeVar), expected.size());
        EXPECT_EQ(g.readStr(g.read32(bufVar)), expected);
    }
}

TEST_F(StdioMemstream, FailedGrowthChangesNothing)
{
    fputs(std::string(200, 'a'), s);
    uint32_t buf = field(s, kBuf), more = g.str(std::string(100, 'b'));
    g.write32(g.sym("g_heap_used"), kHeapSize - 160); // room for small blocks only
    EXPECT_EQ(g.call("fwrite", {more, 1u, 100u, s}), 0u);
    EXPECT_EQ(record(), (std::vector<uint32_t>{buf, 200, 256}));
    EXPECT_EQ(vars(), (Pair{buf, 200}));
    EXPECT_EQ(g.readStr(buf), std::string(200, 'a'));
    EXPECT_EQ(heapUsed(), kHeapSize - 160);
    EXPECT_EQ(fputs("c", s), 1u); // still fits
    EXPECT_EQ(g.read32(sizeVar), 201u);
}

// Counts whose buffer would pass 32 bits are refused before the heap is
// asked and before the data is read.
TEST_F(StdioMemstream, AbsurdCountsAreRefusedUpFront)
{
    fputs("abc", s);
    uint32_t used = heapUsed();
    for (uint32_t count : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFBu, 0x80000000u}) {
        EXPECT_EQ(g.call("file_write_bytes", {s, g.alloc(4), count}), kFail) << count;
        EXPECT_EQ(std::pair(field(s, kLen), heapUsed()), std::pair(3u, used));
    }
}

constexpr uint32_t kRoom = 16;

// What a destination must begin with afterwards: an int, a char or a string
// with its NUL. The rest keeps the marker, so a stray NUL or a wide store shows.
std::string I(int32_t n)
{
    uint32_t u = uint32_t(n);
    return {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
}
std::string C(char c) { return std::string(1, c); }
std::string S(const std::string &text) { return text + '\0'; }
const std::string untouched;

struct ScanRow {
    std::string text;
    const char *format;
    int count;
    std::vector<std::string> dests;
};

class Scanf : public StdioStreams {
protected:
    void check(const std::vector<ScanRow> &rows)
    {
        for (const ScanRow &row : rows) {
            SCOPED_TRACE(testing::Message() << "text \"" << row.text << "\" format \"" << row.format << "\"");
            std::vector<uint32_t> words = {g.strAtGuard(row.text), g.str(row.format)};
            for (size_t i = 0; i < row.dests.size(); ++i) {
                words.push_back(g.alloc(kRoom));
                g.write(words.back(), std::string(kRoom, char(kMarker)));
            }
            EXPECT_EQ(int32_t(callWords(g, "sscanf", words)), row.count);
            for (size_t i = 0; i < row.dests.size(); ++i)
                EXPECT_EQ(bytesAt(g, words[2 + i], kRoom),
                          row.dests[i] + std::string(kRoom - row.dests[i].size(), char(kMarker)))
                    << "destination " << i;
        }
    }
};

// The white-space classes first.
TEST_F(Scanf, Conversions)
{
    // clang-format off
    check({{"12 34", "%d %d", 2, {I(12), I(34)}}, {"12 34", "%d%d", 2, {I(12), I(34)}},
           {"12\n34", "%d%d", 1, {I(12), untouched}}, {"12\n34", "%d %d", 2, {I(12), I(34)}},
           {"12 \t\n\n 34", "%d\t%d", 2, {I(12), I(34)}}, {" \t-12", "%d", 1, {I(-12)}},
           {"\r5", "%d", 0, {untouched}}, {"\n5", "%u", 0, {untouched}}, {"\v7", "%x", 0, {untouched}},
           {"abc def", "%s %s", 2, {S("abc"), S("def")}}, {"abc\ndef", "%s%s", 2, {S("abc"), S("")}},
           {"\nabc", "%s", 1, {S("")}}, {"\t abc", "%s", 1, {S("abc")}},
           {"a\rb\vc\fd\xe9 e", "%s", 1, {S("a\rb\vc\fd\xe9")}}, {"x y", "%c%c%c", 3, {C('x'), C(' '), C('y')}},
           {" x", "%c", 1, {C(' ')}}, {"\n", "%c", 1, {C('\n')}}});
    // clang-format on
    // Numbers, signs and prefixes.
    // clang-format off
    check({{"+7", "%u", 0, {untouched}}, {"-7", "%u", 0, {untouched}}, {"-", "%d", 0, {untouched}},
           {"+", "%d", 0, {untouched}}, {"--1", "%d", 0, {untouched}}, {"+42", "%d", 1, {I(42)}},
           {"0x1A", "%i", 1, {I(26)}}, {"0X1f", "%i", 1, {I(31)}}, {"+0x10", "%i", 1, {I(16)}},
           {"0x1A", "%x", 1, {I(0)}}, {"1A", "%X", 1, {I(26)}}, {"-1f", "%x", 1, {I(-31)}},
           {"DeadBeef", "%x", 1, {I(int32_t(0xDEADBEEF))}}, {"0x1f", "%d", 1, {I(0)}}, {"017", "%i", 1, {I(15)}},
           {"-017", "%i", 1, {I(-15)}}, {"09", "%i%d", 2, {I(0), I(9)}}, {"0", "%i", 1, {I(0)}},
           {"99", "%i", 1, {I(99)}}, {"0x", "%i", 0, {untouched}}, {"0xg", "%i", 0, {untouched}},
           {"12ab", "%d%s", 2, {I(12), S("ab")}}, {"12345", "%2d", 1, {I(12345)}}, {"4294967297", "%u", 1, {I(1)}},
           {"2147483648", "%d", 1, {I(int32_t(0x80000000))}}, {"-2147483649", "%d", 1, {I(2147483647)}},
           // clang-format on
           {"1ffffffff", "%x", 1, {I(-1)}}});
    // Directives and the end of the text.
    // clang-format off
    check({{"x y", "%*c %c", 1, {C('y'), untouched}}, {"xy", "%3c%c", 2, {C('x'), C('y')}},
           {"12 34", "%*d %d", 1, {I(34), untouched}}, {"ab cd", "%*s %s", 1, {S("cd"), untouched}},
           {"5%", "%d%%", 1, {I(5)}}, {"5 %6", "%d%%%d", 1, {I(5), untouched}},
           {"5%6", "%d%%%d", 2, {I(5), I(6)}}, {"%5", "%*%%d", 1, {I(5)}}, {"a=5", "a=%d", 1, {I(5)}},
           {"b=5", "a=%d", 0, {untouched}}, {"12", "%d abc", 1, {I(12)}}, {"12 x", "%d %d", 1, {I(12), untouched}},
           {"abcdef", "%2s%s", 1, {S("ab"), untouched}}, {"abc def", "%2s %s", 2, {S("ab"), S("def")}},
           {"abcdefg xy", "%0s%s", 2, {S("abcdefg"), S("xy")}},
           {"1.5", "%f", 0, {untouched}}, {"5", "%ld", 0, {untouched}}, {"5", "%hd", 0, {untouched}},
           {"5", "%o", 0, {untouched}}, {"5", "%", 0, {}}, {"1 2", "%d %5*d", 1, {I(1), untouched}},
           {"", "%d", 0, {untouched}}, {"", "%s", 0, {untouched}}, {"", "%c", 0, {untouched}},
           {"   ", "%d", 0, {untouched}}, {"", "", 0, {}}});
    // clang-format on
}

// Only a null %s destination, a null text or a null format is tested for.
TEST_F(Scanf, NullPointers)
{
    uint32_t n = g.alloc(4);
    EXPECT_EQ(g.call("sscanf", {g.str("abc 5"), g.str("%s %d"), 0, n}), 1u);
    EXPECT_EQ(g.read32(n), 5u);
    EXPECT_EQ(g.call("sscanf", {g.str("abc"), g.str("%s"), 0}), 0u);
    EXPECT_EQ(g.call("sscanf", {0, g.str("%d"), n}), 0u);
    EXPECT_EQ(g.call("sscanf", {g.str("5"), 0, n}), 0u);
}

using Fscanf = Scanf;

TEST_F(Fscanf, OneTokenPerCallFromDescriptorStreamsOnly)
{
    uint32_t f = reading("  12 34");
    ASSERT_NE(f, 0u);
    uint32_t a = g.alloc(4), b = g.alloc(4);
    g.write32(b, 0x5A5A5A5A);
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d %d"), a, b}), 1u);
    EXPECT_EQ(g.read32(a), 12u);
    EXPECT_EQ(g.read32(b), 0x5A5A5A5Au);
    EXPECT_EQ(recorded(f), (Where{5, 0}));
    EXPECT_EQ(countCalls(g, "read"), 5u); // a byte each: the position shows any more
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), 1u);
    EXPECT_EQ(g.read32(b), 34u);
    EXPECT_EQ(recorded(f), (Where{7, 1}));
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), kFail);
    EXPECT_EQ(recorded(f), (Where{7, 1}));
    // Only descriptor streams are read.
    g.reset();
    uint32_t memory = g.call("open_memstream", {g.alloc(4), g.alloc(4)}), n = g.alloc(4);
    g.setStdin("5");
    EXPECT_EQ(g.call("fscanf", {memory, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {0, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {stdStream(g, "stdin"), 0, n}), kFail);
    EXPECT_TRUE(g.calls().empty());
}

// Each case on a fresh guest: standard input's bytes, an optional injected
// answer to the nth read, and the outcome of one fscanf with %s: the token
// read and where the stream stands after it.
TEST_F(Fscanf, DelimitersEndOfInputAndFailedReads)
{
    // clang-format off
    struct { std::string input; int nth; int32_t answer; uint32_t result; std::string word; uint32_t eof, pos; }
    cases[] = { // nth 0: nothing injected
        {"", 0, 0, kFail, "", 1, 0}, {"   ", 0, 0, kFail, "", 1, 3}, {"abc", 0, 0, 1, "abc", 1, 3},
        {"\r\n\t 12\nnext", 0, 0, 1, "12", 0, 7},   // delimiters skipped, and the one after consumed
        {"\v12 ", 0, 0, 1, "\v12", 0, 4},            // a vertical tab is no delimiter here
        {std::string(300, 'x') + " rest", 0, 0, 1, std::string(255, 'x'), 0, 301}, // cut at 255
        {"1234", 3, -5, 1, "12", 1, 2},  // inside the token: it is scanned
        {" 12", 1, -5, kFail, "", 1, 0}, // before the token
        {"12", 1, 2, kFail, "", 0, 2},   // more than the one byte asked for
        // clang-format on
        {"123", 2, 2, 1, "1", 0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "input \"" << c.input << "\" read " << c.nth);
        g.reset();
        g.setStdin(c.input);
        if (c.nth != 0)
            g.inject("read", c.nth, c.answer);
        uint32_t word = g.alloc(300), in = stdStream(g, "stdin");
        g.write(word, "\0"s);
        EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), c.result);
        EXPECT_EQ(g.readStr(word), c.word);
        EXPECT_EQ(recorded(in), (Where{c.pos, c.eof}));
    }
}

} // namespace
} // namespace zylos::test
