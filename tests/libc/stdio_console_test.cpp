// Console output seen through the console bytes and the exact write requests
// the kernel receives: the writer, the plain output routines, the formatter.
#include "support.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using Lengths = std::vector<uint32_t>;

// One argument word: a number, or a text placed in guest memory.
struct Word {
    Word(uint32_t v) : value(v) {}
    Word(int v) : value(static_cast<uint32_t>(v)) {}
    Word(const char *t) : text(t) {}
    uint32_t value = 0;
    const char *text = nullptr;
};

class StdioConsole : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    uint32_t stream(const char *name) { return stdStream(g, name); }
    uint32_t fprintfOn(uint32_t stream, const std::string &format, const std::vector<Word> &words = {})
    {
        std::vector<uint32_t> w = {stream, g.str(format)};
        for (const Word &word : words)
            w.push_back(word.text ? g.str(word.text) : word.value);
        return callWords(g, "fprintf", w);
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
    EXPECT_EQ(g.call("fprintf", {0u, g.str("x")}), kFail);
    EXPECT_EQ(g.call("printf", {0u}), kFail);
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
TEST_F(StdioConsole, WriterContinuesSplitsAndGuards)
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
    // Guards, none of which reaches the kernel.
    g.reset();
    uint32_t text = g.str("abc");
    EXPECT_EQ(g.call("file_write_bytes", {0u, text, 3u}), kFail);
    EXPECT_EQ(g.call("file_write_bytes", {stream("stdout"), 0u, 0u}), kFail);
    EXPECT_EQ(g.call("file_write_bytes", {stream("stdin"), text, 3u}), kFail);
    EXPECT_EQ(g.call("file_write_bytes", {stream("stdin"), text, 0u}), 0u);
    EXPECT_EQ(g.call("fflush", {0u}), 0u);
    EXPECT_TRUE(g.calls().empty());
}

// puts sends its newline as a request of its own.
TEST_F(StdioConsole, FputcFputsAndPuts)
{
    const uint32_t out = stream("stdout"), in = stream("stdin");
    EXPECT_EQ(g.call("fputc", {0x141, out}), 0x141u);
    EXPECT_EQ(g.call("fputc", {-1, out}), kFail);
    EXPECT_EQ(g.call("putchar", {'z'}), uint32_t('z'));
    EXPECT_EQ(g.call("fputs", {g.str("hello"), out}), 5u);
    EXPECT_EQ(g.call("fputs", {0x10u, out}), 0u);
    for (uint32_t text : {g.str("hi"), g.str(""), 0x10u})
        EXPECT_EQ(g.call("puts", {text}), 0u);
    EXPECT_EQ(g.console(), "A\xffzhellohi\n\n\n");
    EXPECT_EQ(writeLengths(), (Lengths{1, 1, 1, 5, 2, 1, 1, 1}));
    // Refusals without a write.
    // clang-format off
    const struct { const char *fn; uint32_t a, b, result; } refused[] = {
        {"fputc", 'a', in, kFail}, {"fputs", g.str("abc"), in, kFail}, {"fputs", g.str(""), in, 0},
        {"fputs", 0, out, kFail}, {"fputs", g.str(""), 0, kFail}, {"puts", 0, 0, kFail}};
    // clang-format on
    for (const auto &r : refused)
        EXPECT_EQ(g.call(r.fn, {r.a, r.b}), r.result) << r.fn << " " << r.a << " " << r.b;
    EXPECT_EQ(writeLengths().size(), 8u);
    g.reset();
    g.inject("write", 1, -1);
    EXPECT_EQ(g.call("puts", {g.str("hi")}), kFail);
    EXPECT_EQ(writeLengths().size(), 1u);
}

TEST_F(StdioConsole, FwriteWritesTheWholeProductOnce)
{
    uint32_t data = g.str("abcdef");
    EXPECT_EQ(g.call("fwrite", {data, 2u, 3u, stream("stdout")}), 3u);
    EXPECT_EQ(g.console(), "abcdef");
    // clang-format off
    struct { uint32_t data, size, count, stream; } refused[] = {
        {data, 0, 3, stream("stdout")}, {data, 2, 0, stream("stdout")}, {0, 2, 3, stream("stdout")},
        {data, 2, 3, 0},  {data, 0x10000, 0x10000, stream("stdout")}, {data, 1, 1, stream("stdin")}};
    // clang-format on
    for (const auto &r : refused)
        EXPECT_EQ(g.call("fwrite", {r.data, r.size, r.count, r.stream}), 0u) << r.size << "x" << r.count;
    EXPECT_EQ(writeLengths(), Lengths{6});
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

} // namespace
} // namespace zylos::test
