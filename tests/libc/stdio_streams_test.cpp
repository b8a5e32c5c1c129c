// File and memory streams against the harness's scratch root folder: what
// reaches the host and when, reading and positioning, and buffer growth.
#include "support.h"

#include <gtest/gtest.h>
#include <iterator>

namespace zylos::test {
namespace {

constexpr uint32_t kHeapEnd = 1048576;
// Field offsets in the stream record.
constexpr uint32_t kKind = 0, kFd = 4, kBuf = 12, kLen = 16, kCap = 20, kPos = 36, kEof = 40;

class StdioStreams : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
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
    g.write32(g.sym("g_heap_used"), kHeapEnd);
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
    g.write32(g.sym("g_heap_used"), kHeapEnd - 160); // room for small blocks only
    EXPECT_EQ(g.call("fwrite", {more, 1u, 100u, s}), 0u);
    EXPECT_EQ(record(), (std::vector<uint32_t>{buf, 200, 256}));
    EXPECT_EQ(vars(), (Pair{buf, 200}));
    EXPECT_EQ(g.readStr(buf), std::string(200, 'a'));
    EXPECT_EQ(heapUsed(), kHeapEnd - 160);
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

} // namespace
} // namespace zylos::test
