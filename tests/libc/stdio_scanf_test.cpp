// Formatted input: the scanner's conversions and white-space classes, and
// fscanf's one-token reads from descriptor streams.
#include "support.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using namespace std::string_literals;

constexpr uint8_t kMarker = 0x5A;
constexpr uint32_t kKind = 0, kPos = 36, kEof = 40;
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

struct Row {
    std::string text;
    const char *format;
    int count;
    std::vector<std::string> dests;
};

class Scanf : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    void check(const std::vector<Row> &rows)
    {
        for (const Row &row : rows) {
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
           {"1.5", "%f", 0, {untouched}}, {"5", "%ld", 0, {untouched}}, {"5", "%hd", 0, {untouched}},
           {"5", "%o", 0, {untouched}}, {"5", "%", 0, {}}, {"1 2", "%d %5*d", 1, {I(1), untouched}},
           {"", "%d", 0, {untouched}}, {"", "%s", 0, {untouched}}, {"", "%c", 0, {untouched}},
           {"   ", "%d", 0, {untouched}}, {"", "", 0, {}}});
    // clang-format on
}

// Only a null %s destination, a null text or a null format is tested for.
TEST_F(Scanf, NullPointersCostAndStringWidth)
{
    uint32_t n = g.alloc(4);
    EXPECT_EQ(g.call("sscanf", {g.str("abc 5"), g.str("%s %d"), 0, n}), 1u);
    EXPECT_EQ(g.read32(n), 5u);
    EXPECT_EQ(g.call("sscanf", {g.str("abc"), g.str("%s"), 0}), 0u);
    EXPECT_EQ(g.call("sscanf", {0, g.str("%d"), n}), 0u);
    EXPECT_EQ(g.call("sscanf", {g.str("5"), 0, n}), 0u);
    uint32_t word = g.alloc(16), i = g.alloc(4);
    EXPECT_EQ(g.call("sscanf", {g.str("12 abc 0x1f"), g.str("%d %s %i"), n, word, i}), 3u);
    EXPECT_EQ(g.read32(i), 31u);
    // A width bounds the copy of %s (the destinations end at an unmapped page);
    // without a width, or with width 0, the whole run is copied.
    uint32_t bounded = g.allocAtGuard(4), rest = g.alloc(8);
    EXPECT_EQ(g.call("sscanf", {g.str("abcdefg xy"), g.str("%3s%s"), bounded, rest}), 2u);
    EXPECT_EQ(g.readStr(bounded), "abc");
    EXPECT_EQ(g.readStr(rest), "xy");
    for (const char *format : {"%s", "%0s"}) {
        uint32_t whole = g.allocAtGuard(8);
        EXPECT_EQ(g.call("sscanf", {g.str("abcdefg"), g.str(format), whole}), 1u) << format;
        EXPECT_EQ(g.readStr(whole), "abcdefg") << format;
    }
}

class Fscanf : public Scanf {
protected:
    uint32_t input() const { return stdStream(g, "stdin"); }
    using Where = std::pair<uint32_t, uint32_t>; // position and end-of-input flag
    Where where(uint32_t stream) const { return {g.read32(stream + kPos), g.read32(stream + kEof)}; }
    size_t byteReads() const
    {
        size_t n = 0;
        for (const CallRecord &c : g.calls())
            n += c.name == "read" && c.args[2] == 1;
        return n;
    }
};

TEST_F(Fscanf, OneTokenPerCallFromDescriptorStreamsOnly)
{
    writeFile(inRoot(g, "in.txt"), "  12 34");
    uint32_t f = g.call("fopen", {g.str("/in.txt"), g.str("r")});
    ASSERT_NE(f, 0u);
    uint32_t a = g.alloc(4), b = g.alloc(4);
    g.write32(b, 0x5A5A5A5A);
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d %d"), a, b}), 1u);
    EXPECT_EQ(g.read32(a), 12u);
    EXPECT_EQ(g.read32(b), 0x5A5A5A5Au);
    EXPECT_EQ(where(f), (Where{5, 0}));
    EXPECT_EQ(byteReads(), 5u);
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), 1u);
    EXPECT_EQ(g.read32(b), 34u);
    EXPECT_EQ(where(f), (Where{7, 1}));
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), kFail);
    EXPECT_EQ(where(f), (Where{7, 1}));
    // Only descriptor streams are read.
    g.reset();
    uint32_t record = g.alloc(44), n = g.alloc(4);
    g.write(record, std::string(44, '\0'));
    g.write32(record + kKind, 2);
    g.setStdin("5");
    EXPECT_EQ(g.call("fscanf", {record, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {0, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {input(), 0, n}), kFail);
    EXPECT_EQ(byteReads(), 0u);
}

// Leading delimiters are skipped and the one after the token consumed; a
// vertical tab is no delimiter here, so it starts the token.
TEST_F(Fscanf, DelimitersAreSkippedAndTheLastOneConsumed)
{
    g.setStdin("\r\n\t 12\nnext");
    uint32_t n = g.alloc(4), in = input();
    EXPECT_EQ(g.call("fscanf", {in, g.str("%d"), n}), 1u);
    EXPECT_EQ(g.read32(n), 12u);
    EXPECT_EQ(where(in), (Where{7, 0}));
    EXPECT_EQ(byteReads(), 7u);
    uint32_t word = g.alloc(16);
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), "next");
    EXPECT_EQ(where(in), (Where{11, 1}));
    g.reset();
    g.setStdin("\v12 ");
    EXPECT_EQ(g.call("fscanf", {input(), g.str("%d"), g.alloc(4)}), 0u);
    EXPECT_EQ(where(input()), (Where{4, 0}));
    // A long token is cut at 255 characters.
    g.reset();
    g.setStdin(std::string(300, 'x') + " rest");
    in = input();
    word = g.alloc(300);
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), std::string(255, 'x'));
    EXPECT_EQ(where(in), (Where{301, 0}));
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), "rest");
}

// Each case on a fresh guest: standard input's bytes, an optional injected
// answer to the nth read, and the outcome of one fscanf with %s.
TEST_F(Fscanf, EndOfInputAndFailedReads)
{
    // clang-format off
    struct { std::string input; int nth; int32_t answer; uint32_t result; std::string word; uint32_t eof, pos; }
    cases[] = { // nth 0: nothing injected
        {"", 0, 0, kFail, "", 1, 0}, {"   ", 0, 0, kFail, "", 1, 3}, {"abc", 0, 0, 1, "abc", 1, 3},
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
        uint32_t word = g.alloc(16), in = input();
        g.write(word, "\0"s);
        EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), c.result);
        EXPECT_EQ(g.readStr(word), c.word);
        EXPECT_EQ(where(in), (Where{c.pos, c.eof}));
    }
}

} // namespace
} // namespace zylos::test
