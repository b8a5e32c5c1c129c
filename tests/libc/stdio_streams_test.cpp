// File and memory streams against the harness's scratch root folder: what
// reaches the host and when, reading and positioning, and buffer growth;
// copyfile, a whole program that reads a file byte by byte and writes the
// copy through a whole-file stream; and formatted input: the scanner's
// conversions and white-space classes, and fscanf's one-token reads from
// descriptor streams.
#include "support.h"

#include <gtest/gtest.h>
#include <iterator>

namespace zylos::test {
namespace {

using namespace std::string_literals;

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
};

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
    EXPECT_EQ(g.calls().back().args[2], 0u);
    // A refused file fails only at close.
    s = fopen("/no/such/dir/file", "w");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(fputs("lost", s), 4u);
    EXPECT_EQ(call("fclose", s), kFail);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(g.rootDir()) / "no"));
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
    EXPECT_EQ(countCalls(g, "open"), 0u);
    uint32_t r = fopen("/in.txt", "r+");
    ASSERT_NE(r, 0u);
    EXPECT_EQ(field(r, kKind), 1u);
    EXPECT_EQ(fputs("x", r), kFail);
    EXPECT_EQ(field(fopen("/new.txt", "w+"), kKind), 3u);
    EXPECT_EQ(countCalls(g, "open"), 1u);
    // Failed opens take nothing.
    g.reset();
    uint32_t path = g.str("/missing.txt"), mode = g.str("r"), before = heapUsed();
    EXPECT_EQ(g.call("fopen", {path, mode}), 0u);
    EXPECT_EQ(heapUsed(), before);
    // Without heap for the record the descriptor is closed again.
    writeFile(inRoot(g, "in.txt"), "data");
    path = g.str("/in.txt");
    g.write32(g.sym("g_heap_used"), kHeapSize);
    EXPECT_EQ(g.call("fopen", {path, mode}), 0u);
    EXPECT_EQ(countCalls(g, "close"), 1u);
    EXPECT_EQ(g.call("fopen", {path, g.str("w")}), 0u);
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
    g.reset();
    g.setStdin("Q");
    EXPECT_EQ(g.call("getchar"), uint32_t('Q'));
    EXPECT_EQ(g.call("getchar"), kFail);
    EXPECT_EQ(call("feof", stdStream(g, "stdin")), 1u);
    // Rewinding and seeking clear the end of input; a failed read looks like the
    // end of input and a failed seek moves nothing.
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
    g.reset();
    s = reading("hello world");
    EXPECT_EQ(g.call("fread", {g.alloc(32), 1u, 32u, s}), 11u);
    EXPECT_EQ(g.call("fseek", {s, 6, 0}), 0u);
    EXPECT_EQ(where(s), (Where{6, 0}));
    EXPECT_EQ(call("fgetc", s), uint32_t('w'));
    EXPECT_EQ(g.call("fseek", {s, 100, 0}), 0u);
    g.inject("lseek", 0, -22);
    EXPECT_EQ(g.call("fseek", {s, 2, 0}), kFail);
    EXPECT_EQ(where(s), (Where{100, 0}));
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
    EXPECT_EQ((Pair{field(s, kPos), field(s, kEof)}), (Pair{0, 0}));
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

using StdioProgram = EachBackend;

TEST_P(StdioProgram, CopiesEveryByteValueAndReportsFailures)
{
    const TempDir root{"zylos-copyfile"};
    std::string bytes;
    for (int i = 0; i < 768; ++i)
        bytes.push_back(static_cast<char>(i));
    root.put("in.bin", bytes);
    root.put("empty", "");
    // clang-format off
    const struct { std::string from, to; int status; std::string out; } rows[] = {
        {"/in.bin", "/out.bin", 0, "copied 768 bytes from /in.bin to /out.bin\n"},
        {"/empty", "/copy", 0, "copied 0 bytes from /empty to /copy\n"},
        {"/nothing", "/out", 1, "copyfile: cannot open /nothing\n"},
        {"/in.bin", "/no/dir/out", 1, "copyfile: cannot write /no/dir/out\n"}};
    // clang-format on
    for (const auto &row : rows) {
        const RunResult r = run({"--root", root.str(), programPath("copyfile"), row.from, row.to});
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
    EXPECT_EQ(root.get("out.bin"), bytes);
    EXPECT_TRUE(root.exists("copy"));
    EXPECT_FALSE(root.exists("out"));
}

ZYLOS_ON_EACH_BACKEND(StdioProgram);

constexpr uint8_t kMarker = 0x5A;
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

class Scanf : public StdioStreams {
protected:
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

class Fscanf : public Scanf {
protected:
    using Where = std::pair<uint32_t, uint32_t>; // position and end-of-input flag
    Where where(uint32_t stream) const { return {g.read32(stream + kPos), g.read32(stream + kEof)}; }
};

TEST_F(Fscanf, OneTokenPerCallFromDescriptorStreamsOnly)
{
    uint32_t f = reading("  12 34");
    ASSERT_NE(f, 0u);
    uint32_t a = g.alloc(4), b = g.alloc(4);
    g.write32(b, 0x5A5A5A5A);
    EXPECT_EQ(g.call("fscanf", {f, g.str("%d %d"), a, b}), 1u);
    EXPECT_EQ(g.read32(a), 12u);
    EXPECT_EQ(g.read32(b), 0x5A5A5A5Au);
    EXPECT_EQ(where(f), (Where{5, 0}));
    EXPECT_EQ(countCalls(g, "read"), 5u); // a byte each: the position shows any more
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
        EXPECT_EQ(where(in), (Where{c.pos, c.eof}));
    }
}

} // namespace
} // namespace zylos::test
