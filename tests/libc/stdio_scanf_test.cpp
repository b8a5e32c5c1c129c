// Formatted input: the scanner's conversions and white-space classes, and
// fscanf's one-token reads from descriptor streams.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr uint8_t kMarker = 0x5A;
constexpr uint32_t kFail = 0xFFFFFFFFu;
constexpr uint32_t kKind = 0, kPos = 36, kEof = 40;
constexpr uint32_t kStringRoom = 320;

// A destination and what it must hold afterwards.
struct Dest {
    char kind; // 'i' a 32-bit integer, 'c' one char, 's' a string
    bool touched;
    int32_t number;
    std::string text;
};

Dest I(int32_t n)
{
    return {'i', true, n, ""};
}

Dest C(char c)
{
    return {'c', true, 0, std::string(1, c)};
}

Dest S(std::string text)
{
    return {'s', true, 0, std::move(text)};
}

Dest untouched(char kind)
{
    return {kind, false, 0, ""};
}

uint32_t callWords(Guest &g, const char *fn, const std::vector<uint32_t> &w)
{
    switch (w.size()) {
    case 2: return g.call(fn, {w[0], w[1]});
    case 3: return g.call(fn, {w[0], w[1], w[2]});
    case 4: return g.call(fn, {w[0], w[1], w[2], w[3]});
    case 5: return g.call(fn, {w[0], w[1], w[2], w[3], w[4]});
    }
    ADD_FAILURE() << "unsupported argument count " << w.size();
    return 0;
}

class Scanf : public ::testing::Test {
protected:
    Guest &g = Guest::drape();

    uint32_t room(char kind) const { return kind == 'i' ? 4 : kind == 'c' ? 2 : kStringRoom; }

    // Destinations filled with a marker, so that untouched bytes show.
    std::vector<uint32_t> destinations(const std::vector<Dest> &dests)
    {
        std::vector<uint32_t> addrs;
        for (const Dest &d : dests) {
            uint32_t a = g.alloc(room(d.kind));
            g.write(a, std::string(room(d.kind), char(kMarker)));
            addrs.push_back(a);
        }
        return addrs;
    }

    void expectHeld(const std::vector<Dest> &dests, const std::vector<uint32_t> &addrs)
    {
        for (size_t i = 0; i < dests.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "destination " << i);
            const Dest &d = dests[i];
            std::string want(room(d.kind), char(kMarker));
            if (d.touched)
                want.replace(0, 0, bytesOf(d)).resize(room(d.kind));
            std::vector<uint8_t> got = g.read(addrs[i], room(d.kind));
            EXPECT_EQ(std::string(got.begin(), got.end()), want);
        }
    }

    static std::string bytesOf(const Dest &d)
    {
        if (d.kind == 'i') {
            uint32_t n = uint32_t(d.number);
            return {char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
        }
        return d.kind == 's' ? d.text + '\0' : d.text;
    }
};

struct Row {
    std::string text;
    const char *format;
    int count;
    std::vector<Dest> dests;
};

const std::vector<Row> kWhiteSpace = {
    {"12 34", "%d %d", 2, {I(12), I(34)}},
    {"12 34", "%d%d", 2, {I(12), I(34)}},
    {"12\n34", "%d%d", 1, {I(12), untouched('i')}},
    {"12\n34", "%d %d", 2, {I(12), I(34)}},
    {"12 \t\n\n 34", "%d\t%d", 2, {I(12), I(34)}},
    {" \t-12", "%d", 1, {I(-12)}},
    {"\r5", "%d", 0, {untouched('i')}},
    {"\n5", "%u", 0, {untouched('i')}},
    {"\v7", "%x", 0, {untouched('i')}},
    {"abc def", "%s %s", 2, {S("abc"), S("def")}},
    {"abc\ndef", "%s%s", 2, {S("abc"), S("")}},
    {"\nabc", "%s", 1, {S("")}},
    {"\t abc", "%s", 1, {S("abc")}},
    {"a\rb\vc\fd\xe9 e", "%s", 1, {S("a\rb\vc\fd\xe9")}},
    {"x y", "%c%c%c", 3, {C('x'), C(' '), C('y')}},
    {" x", "%c", 1, {C(' ')}},
    {"\n", "%c", 1, {C('\n')}},
};

const std::vector<Row> kNumbers = {
    {"+7", "%u", 0, {untouched('i')}},
    {"-7", "%u", 0, {untouched('i')}},
    {"-", "%d", 0, {untouched('i')}},
    {"+", "%d", 0, {untouched('i')}},
    {"--1", "%d", 0, {untouched('i')}},
    {"+42", "%d", 1, {I(42)}},
    {"0x1A", "%i", 1, {I(26)}},
    {"0X1f", "%i", 1, {I(31)}},
    {"+0x10", "%i", 1, {I(16)}},
    {"0x1A", "%x", 1, {I(0)}},
    {"1A", "%X", 1, {I(26)}},
    {"-1f", "%x", 1, {I(-31)}},
    {"DeadBeef", "%x", 1, {I(int32_t(0xDEADBEEF))}},
    {"0x1f", "%d", 1, {I(0)}},
    {"017", "%i", 1, {I(15)}},
    {"-017", "%i", 1, {I(-15)}},
    {"09", "%i%d", 2, {I(0), I(9)}},
    {"0", "%i", 1, {I(0)}},
    {"99", "%i", 1, {I(99)}},
    {"0x", "%i", 0, {untouched('i')}},
    {"0xg", "%i", 0, {untouched('i')}},
    {"12ab", "%d%s", 2, {I(12), S("ab")}},
    {"12345", "%2d", 1, {I(12345)}},
    {"4294967297", "%u", 1, {I(1)}},
    {"2147483648", "%d", 1, {I(int32_t(0x80000000))}},
    {"-2147483649", "%d", 1, {I(2147483647)}},
    {"1ffffffff", "%x", 1, {I(-1)}},
};

const std::vector<Row> kDirectives = {
    {"x y", "%*c %c", 1, {C('y'), untouched('c')}},
    {"xy", "%3c%c", 2, {C('x'), C('y')}},
    {"12 34", "%*d %d", 1, {I(34), untouched('i')}},
    {"ab cd", "%*s %s", 1, {S("cd"), untouched('s')}},
    {"5%", "%d%%", 1, {I(5)}},
    {"5 %6", "%d%%%d", 1, {I(5), untouched('i')}},
    {"5%6", "%d%%%d", 2, {I(5), I(6)}},
    {"%5", "%*%%d", 1, {I(5)}},
    {"a=5", "a=%d", 1, {I(5)}},
    {"b=5", "a=%d", 0, {untouched('i')}},
    {"12", "%d abc", 1, {I(12)}},
    {"12 x", "%d %d", 1, {I(12), untouched('i')}},
    {"abcdef", "%2s%s", 1, {S("ab"), untouched('s')}},
    {"abc def", "%2s %s", 2, {S("ab"), S("def")}},
    {"1.5", "%f", 0, {untouched('i')}},
    {"5", "%ld", 0, {untouched('i')}},
    {"5", "%hd", 0, {untouched('i')}},
    {"5", "%o", 0, {untouched('i')}},
    {"5", "%", 0, {}},
    {"1 2", "%d %5*d", 1, {I(1), untouched('i')}},
    {"", "%d", 0, {untouched('i')}},
    {"", "%s", 0, {untouched('s')}},
    {"", "%c", 0, {untouched('c')}},
    {"   ", "%d", 0, {untouched('i')}},
    {"", "", 0, {}},
};

class ScanfRows : public Scanf, public ::testing::WithParamInterface<const std::vector<Row> *> {};

TEST_P(ScanfRows, StoreAndCount)
{
    for (const Row &row : *GetParam()) {
        SCOPED_TRACE(testing::Message() << "text \"" << row.text << "\" format \"" << row.format
                                        << "\"");
        std::vector<uint32_t> addrs = destinations(row.dests);
        std::vector<uint32_t> words = {g.strAtGuard(row.text), g.str(row.format)};
        words.insert(words.end(), addrs.begin(), addrs.end());
        EXPECT_EQ(int32_t(callWords(g, "sscanf", words)), row.count);
        expectHeld(row.dests, addrs);
    }
}

INSTANTIATE_TEST_SUITE_P(WhiteSpace, ScanfRows, ::testing::Values(&kWhiteSpace));
INSTANTIATE_TEST_SUITE_P(Numbers, ScanfRows, ::testing::Values(&kNumbers));
INSTANTIATE_TEST_SUITE_P(Directives, ScanfRows, ::testing::Values(&kDirectives));

TEST_F(Scanf, NullStringDestinationConsumesTheRun)
{
    uint32_t n = g.alloc(4);
    EXPECT_EQ(g.call("sscanf", {g.str("abc 5"), g.str("%s %d"), 0, n}), 1u);
    EXPECT_EQ(g.read32(n), 5u);
    EXPECT_EQ(g.call("sscanf", {g.str("abc"), g.str("%s"), 0}), 0u);
}

TEST_F(Scanf, NullTextOrFormatGivesZero)
{
    uint32_t n = g.alloc(4);
    EXPECT_EQ(g.call("sscanf", {0, g.str("%d"), n}), 0u);
    EXPECT_EQ(g.call("sscanf", {g.str("5"), 0, n}), 0u);
}

// A width bounds the copy of %s (the destination ends at an unmapped page);
// without a width the whole run is copied.
TEST_F(Scanf, StringWidthBoundsTheCopy)
{
    uint32_t bounded = g.allocAtGuard(4), rest = g.alloc(8);
    EXPECT_EQ(g.call("sscanf", {g.str("abcdefg xy"), g.str("%3s%s"), bounded, rest}), 2u);
    EXPECT_EQ(g.readStr(bounded), "abc");
    EXPECT_EQ(g.readStr(rest), "xy");

    uint32_t whole = g.allocAtGuard(8);
    EXPECT_EQ(g.call("sscanf", {g.str("abcdefg"), g.str("%s"), whole}), 1u);
    EXPECT_EQ(g.readStr(whole), "abcdefg");

    uint32_t zero = g.allocAtGuard(8);
    EXPECT_EQ(g.call("sscanf", {g.str("abcdefg"), g.str("%0s"), zero}), 1u);
    EXPECT_EQ(g.readStr(zero), "abcdefg");
}

TEST_F(Scanf, TypicalCallIsCheap)
{
    uint32_t n = g.alloc(4), word = g.alloc(16), i = g.alloc(4);
    uint32_t text = g.str("12 abc 0x1f"), format = g.str("%d %s %i");
    EXPECT_EQ(g.call("sscanf", {text, format, n, word, i}), 3u);
    EXPECT_EQ(g.read32(i), 31u);
    EXPECT_LE(g.instructions(), 500u);
}

TEST_F(Scanf, VsscanfTakesAnArgumentList)
{
    uint32_t a = g.alloc(4), b = g.alloc(16), list = g.alloc(8);
    g.write32(list, a);
    g.write32(list + 4, b);
    EXPECT_EQ(g.call("vsscanf", {g.str("-8 word"), g.str("%i %s"), list}), 2u);
    EXPECT_EQ(int32_t(g.read32(a)), -8);
    EXPECT_EQ(g.readStr(b), "word");
}

class Fscanf : public Scanf {
protected:
    fs::path root;

    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "zylos-fscanf-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root = templ;
        g.setRoot(root.string());
    }

    void TearDown() override { fs::remove_all(root); }

    uint32_t openFile(const std::string &bytes)
    {
        std::ofstream(root / "in.txt", std::ios::binary) << bytes;
        uint32_t f = g.call("fopen", {g.str("/in.txt"), g.str("r")});
        EXPECT_NE(f, 0u);
        return f;
    }

    uint32_t input() const { return g.read32(g.sym("stdin")); }

    uint32_t field(uint32_t stream, uint32_t offset) const { return g.read32(stream + offset); }

    size_t reads() const
    {
        size_t n = 0;
        for (const CallRecord &c : g.calls())
            n += c.name == "read" && c.args[2] == 1;
        return n;
    }
};

TEST_F(Fscanf, OneTokenPerCall)
{
    uint32_t f = openFile("  12 34");
    uint32_t a = g.alloc(4), b = g.alloc(4);
    g.write32(b, 0x5A5A5A5A);
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d %d"), a, b}), 1u);
    EXPECT_EQ(g.read32(a), 12u);
    EXPECT_EQ(g.read32(b), 0x5A5A5A5Au);
    EXPECT_EQ(field(f, kPos), 5u);
    EXPECT_EQ(reads(), 5u);
    EXPECT_EQ(field(f, kEof), 0u);

    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), 1u);
    EXPECT_EQ(g.read32(b), 34u);
    EXPECT_EQ(field(f, kPos), 7u);
    EXPECT_EQ(field(f, kEof), 1u);

    EXPECT_EQ(g.call("fscanf", {f, g.str("%d"), b}), kFail);
    EXPECT_EQ(field(f, kPos), 7u);
}

TEST_F(Fscanf, DelimitersAreSkippedAndTheLastOneConsumed)
{
    g.setStdin("\r\n\t 12\nnext");
    uint32_t n = g.alloc(4);
    uint32_t in = input();
    EXPECT_EQ(g.call("fscanf", {in, g.str("%d"), n}), 1u);
    EXPECT_EQ(g.read32(n), 12u);
    EXPECT_EQ(field(in, kPos), 7u);
    EXPECT_EQ(reads(), 7u);

    uint32_t word = g.alloc(16);
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), "next");
    EXPECT_EQ(field(in, kEof), 1u);
}

// Each case on a fresh guest: standard input's bytes, an optional injected
// answer to the nth read, and the outcome of one fscanf with %s.
TEST_F(Fscanf, EndOfInputAndFailedReads)
{
    struct Case {
        std::string input;
        int nth;         // 0: nothing injected
        int32_t answer;
        uint32_t result;
        std::string word;
        uint32_t eof, pos;
    } cases[] = {
        {"", 0, 0, kFail, "", 1, 0},
        {"   ", 0, 0, kFail, "", 1, 3},
        {"abc", 0, 0, 1, "abc", 1, 3},
        {"1234", 3, -5, 1, "12", 1, 2},  // inside the token: it is scanned
        {" 12", 1, -5, kFail, "", 1, 0}, // before the token
        {"12", 1, 2, kFail, "", 0, 2},   // more than the one byte asked for
        {"123", 2, 2, 1, "1", 0, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "input \"" << c.input << "\" read " << c.nth);
        g.reset();
        g.setStdin(c.input);
        if (c.nth != 0)
            g.inject("read", c.nth, c.answer);
        uint32_t word = g.alloc(16);
        g.write(word, "\0"s);
        uint32_t in = input();
        EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), c.result);
        EXPECT_EQ(g.readStr(word), c.word);
        EXPECT_EQ(field(in, kEof), c.eof);
        EXPECT_EQ(field(in, kPos), c.pos);
    }
}

TEST_F(Fscanf, LongTokenIsCutAt255Characters)
{
    g.setStdin(std::string(300, 'x') + " rest");
    uint32_t in = input();
    uint32_t word = g.alloc(kStringRoom);
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), std::string(255, 'x'));
    EXPECT_EQ(field(in, kPos), 301u);
    EXPECT_EQ(g.call("fscanf", {in, g.str("%s"), word}), 1u);
    EXPECT_EQ(g.readStr(word), "rest");
}

TEST_F(Fscanf, VerticalTabBelongsToTheToken)
{
    g.setStdin("\v12 ");
    uint32_t n = g.alloc(4);
    EXPECT_EQ(g.call("fscanf", {input(), g.str("%d"), n}), 0u);
    EXPECT_EQ(field(input(), kPos), 4u);
}

TEST_F(Fscanf, OnlyDescriptorStreamsAreRead)
{
    uint32_t record = g.alloc(44);
    g.write(record, std::string(44, '\0'));
    g.write32(record + kKind, 2);
    uint32_t n = g.alloc(4);
    g.setStdin("5");
    EXPECT_EQ(g.call("fscanf", {record, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {0, g.str("%d"), n}), kFail);
    EXPECT_EQ(g.call("fscanf", {input(), 0, n}), kFail);
    EXPECT_EQ(reads(), 0u);
}

} // namespace
} // namespace zylos::test
