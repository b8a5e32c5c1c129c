// File and memory streams against the harness's scratch root folder: what
// reaches the host and when, reading and positioning, and buffer growth.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFail = 0xFFFFFFFFu;
constexpr uint32_t kHeapEnd = 1048576;
// Field offsets in the stream record.
constexpr uint32_t kKind = 0, kFd = 4, kBuf = 12, kLen = 16, kCap = 20, kPos = 36, kEof = 40;

class StdioStreams : public ::testing::Test {
protected:
    Guest &g = Guest::drape();
    const fs::path root = g.rootDir();

    void hostWrite(const std::string &name, const std::string &bytes)
    {
        std::ofstream(root / name, std::ios::binary) << bytes;
    }
    std::optional<std::string> hostRead(const std::string &name) const
    {
        std::ifstream in(root / name, std::ios::binary);
        if (!in)
            return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    uint32_t fopen(const char *path, const char *mode)
    {
        return g.call("fopen", {path ? g.str(path) : 0u, mode ? g.str(mode) : 0u});
    }
    uint32_t fputs(const std::string &text, uint32_t s) { return g.call("fputs", {g.str(text), s}); }
    uint32_t field(uint32_t s, uint32_t offset) const { return g.read32(s + offset); }
    uint32_t stream(const char *name) const { return g.read32(g.sym(name)); }
    uint32_t heapUsed() const { return g.read32(g.sym("g_heap_used")); }

    size_t countCalls(const std::string &name) const
    {
        size_t n = 0;
        for (const CallRecord &c : g.calls())
            n += c.name == name;
        return n;
    }
};

TEST_F(StdioStreams, WholeFileAppearsOnlyAtClose)
{
    uint32_t s = fopen("/out.txt", "w");
    EXPECT_EQ(fputs("abc", s), 3u);
    EXPECT_EQ(g.call("fprintf", {s, g.str("%d-%s\n"), 42, g.str("x")}), 5u);
    EXPECT_EQ(g.call("fflush", {s}), 0u);
    EXPECT_FALSE(hostRead("out.txt"));
    EXPECT_EQ(g.call("fclose", {s}), 0u);
    EXPECT_EQ(hostRead("out.txt"), "abc42-x\n");
    EXPECT_EQ(countCalls("writefile"), 1u);
    EXPECT_EQ(countCalls("write"), 0u);

    // Nothing written still makes an (empty) file.
    EXPECT_EQ(g.call("fclose", {fopen("/empty", "w")}), 0u);
    EXPECT_EQ(hostRead("empty"), "");
    EXPECT_EQ(g.calls().back().args[2], 0u);
}

TEST_F(StdioStreams, RefusedWholeFileFailsOnlyAtClose)
{
    uint32_t s = fopen("/no/such/dir/file", "w");
    ASSERT_NE(s, 0u);
    EXPECT_EQ(fputs("lost", s), 4u);
    EXPECT_EQ(g.call("fclose", {s}), kFail);
    EXPECT_FALSE(fs::exists(root / "no"));
}

TEST_F(StdioStreams, OpenModes)
{
    hostWrite("in.txt", "data");
    EXPECT_EQ(fopen(nullptr, "r"), stream("stdin"));
    EXPECT_EQ(fopen("-", "rb"), stream("stdin"));
    EXPECT_EQ(fopen("-", "w"), stream("stdout"));
    for (const char *mode : {"a", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(fopen("/in.txt", mode), 0u) << (mode ? mode : "null");
    EXPECT_EQ(fopen(nullptr, "a"), 0u);
    EXPECT_EQ(countCalls("open"), 0u);

    uint32_t r = fopen("/in.txt", "r+");
    ASSERT_NE(r, 0u);
    EXPECT_EQ(field(r, kKind), 1u);
    EXPECT_EQ(fputs("x", r), kFail);
    uint32_t w = fopen("/new.txt", "w+");
    EXPECT_EQ(field(w, kKind), 3u);
    EXPECT_EQ(countCalls("open"), 1u);
}

TEST_F(StdioStreams, FailedOpensTakeNothing)
{
    uint32_t path = g.str("/missing.txt"), mode = g.str("r");
    uint32_t before = heapUsed();
    EXPECT_EQ(g.call("fopen", {path, mode}), 0u);
    EXPECT_EQ(heapUsed(), before);

    // Without heap for the record the descriptor is closed again.
    hostWrite("in.txt", "data");
    path = g.str("/in.txt");
    g.write32(g.sym("g_heap_used"), kHeapEnd);
    EXPECT_EQ(g.call("fopen", {path, mode}), 0u);
    EXPECT_EQ(countCalls("close"), 1u);
    EXPECT_EQ(g.call("fopen", {path, g.str("w")}), 0u);
}

TEST_F(StdioStreams, ReadsCountWholeElementsAndTrackThePosition)
{
    hostWrite("in.txt", "hello world");
    uint32_t s = fopen("/in.txt", "r");
    EXPECT_EQ(g.call("fgetc", {s}), uint32_t('h'));
    EXPECT_EQ(g.call("ftell", {s}), 1u);

    uint32_t buf = g.alloc(16);
    EXPECT_EQ(g.call("fread", {buf, 4u, 3u, s}), 2u);
    std::vector<uint8_t> got = g.read(buf, 10);
    EXPECT_EQ(std::string(got.begin(), got.end()), "ello world");
    EXPECT_EQ(g.call("ftell", {s}), 11u);
    EXPECT_EQ(g.call("feof", {s}), 1u);
    EXPECT_EQ(countCalls("read"), 2u);
}

TEST_F(StdioStreams, EndOfInputAndRewind)
{
    hostWrite("in.bin", "\xe9");
    uint32_t s = fopen("/in.bin", "r");
    EXPECT_EQ(g.call("fgetc", {s}), 0xE9u);
    EXPECT_EQ(g.call("feof", {s}), 0u);
    EXPECT_EQ(g.call("fgetc", {s}), kFail);
    EXPECT_EQ(g.call("feof", {s}), 1u);

    g.call("rewind", {s});
    EXPECT_EQ(g.call("feof", {s}), 0u);
    EXPECT_EQ(g.call("ftell", {s}), 0u);
    EXPECT_EQ(g.call("fgetc", {s}), 0xE9u);
    EXPECT_EQ(g.call("ferror", {s}), 0u);

    // A failed read looks like the end of input and does not move.
    g.inject("read", 0, -5);
    g.call("rewind", {s});
    EXPECT_EQ(g.call("fread", {g.alloc(4), 1u, 4u, s}), 0u);
    EXPECT_EQ(g.call("feof", {s}), 1u);
    EXPECT_EQ(g.call("ftell", {s}), 0u);
}

TEST_F(StdioStreams, SeekMovesAndClearsEndOfInput)
{
    hostWrite("in.txt", "hello world");
    uint32_t s = fopen("/in.txt", "r");
    EXPECT_EQ(g.call("fread", {g.alloc(32), 1u, 32u, s}), 11u);
    EXPECT_EQ(g.call("fseek", {s, 6, 0}), 0u);
    EXPECT_EQ(g.call("feof", {s}), 0u);
    EXPECT_EQ(g.call("ftell", {s}), 6u);
    EXPECT_EQ(g.call("fgetc", {s}), uint32_t('w'));
    EXPECT_EQ(g.call("fseek", {s, 100, 0}), 0u);
    EXPECT_EQ(g.call("ftell", {s}), 100u);

    g.inject("lseek", 0, -22);
    EXPECT_EQ(g.call("fseek", {s, 2, 0}), kFail);
    EXPECT_EQ(g.call("ftell", {s}), 100u);
}

TEST_F(StdioStreams, OnlyOpenedFilesCanBePositioned)
{
    uint32_t vars = g.alloc(8);
    uint32_t mem = g.call("open_memstream", {vars, vars + 4});
    for (uint32_t s : {0u, stream("stdin"), stream("stdout"), mem}) {
        EXPECT_EQ(g.call("fseek", {s, 0, 0}), kFail) << s;
        EXPECT_EQ(g.call("ftell", {s}), kFail) << s;
    }
    EXPECT_EQ(g.call("feof", {0u}), 1u);
    EXPECT_EQ(g.call("ferror", {0u}), 1u);
    g.call("rewind", {0u});
    EXPECT_TRUE(g.calls().empty());
}

TEST_F(StdioStreams, GetcharReadsStdin)
{
    g.setStdin("Q");
    EXPECT_EQ(g.call("getchar"), uint32_t('Q'));
    EXPECT_EQ(g.call("getchar"), kFail);
    EXPECT_EQ(g.call("feof", {stream("stdin")}), 1u);
}

TEST_F(StdioStreams, CloseReleasesDescriptorsButNotStandardStreams)
{
    hostWrite("in.txt", "x");
    uint32_t s = fopen("/in.txt", "r");
    uint32_t fd = field(s, kFd);
    EXPECT_EQ(g.call("fclose", {s}), 0u);
    ASSERT_EQ(countCalls("close"), 1u);
    EXPECT_EQ(g.calls().back().args[0], fd);

    EXPECT_EQ(g.call("fclose", {stream("stdout")}), 0u);
    EXPECT_EQ(g.call("fclose", {stream("stdin")}), 0u);
    EXPECT_EQ(g.call("fclose", {0u}), kFail);
    EXPECT_EQ(countCalls("close"), 1u);
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
    uint32_t writeBytes(size_t n, char c)
    {
        return g.call("fwrite", {g.str(std::string(n, c)), static_cast<uint32_t>(n), 1u, s});
    }
};

TEST_F(StdioMemstream, PublishesAfterEveryWrite)
{
    EXPECT_EQ(g.read32(bufVar), 0u);
    EXPECT_EQ(g.read32(sizeVar), 0u);
    EXPECT_EQ(fputs("", s), 0u);
    EXPECT_EQ(g.read32(bufVar), 0u);
    EXPECT_EQ(field(s, kCap), 0u);

    EXPECT_EQ(fputs("abc", s), 3u);
    uint32_t buf = g.read32(bufVar);
    EXPECT_EQ(buf, field(s, kBuf));
    EXPECT_EQ(g.read32(sizeVar), 3u);
    EXPECT_EQ(g.read(buf, 4), (std::vector<uint8_t>{'a', 'b', 'c', 0}));

    // Rewinding keeps the content; later writes append.
    g.call("rewind", {s});
    EXPECT_EQ(fputs("d", s), 1u);
    EXPECT_EQ(g.call("fclose", {s}), 0u);
    EXPECT_EQ(g.readStr(g.read32(bufVar)), "abcd");
    EXPECT_EQ(g.read32(sizeVar), 4u);
    EXPECT_EQ(g.call("open_memstream", {0u, sizeVar}), 0u);
    EXPECT_EQ(g.call("open_memstream", {bufVar, 0u}), 0u);
    EXPECT_TRUE(g.calls().empty());
}

TEST_F(StdioMemstream, CannotBeRead)
{
    fputs("abc", s);
    EXPECT_EQ(g.call("fgetc", {s}), kFail);
    EXPECT_EQ(g.call("fread", {g.alloc(4), 1u, 4u, s}), 0u);
    EXPECT_EQ(field(s, kEof), 0u);
    EXPECT_EQ(field(s, kPos), 0u);
    EXPECT_EQ(countCalls("read"), 0u);
}

struct GrowthRow {
    std::vector<size_t> writes;
    std::vector<uint32_t> capacities;
};

void PrintTo(const GrowthRow &row, std::ostream *os)
{
    *os << "writes";
    for (size_t n : row.writes)
        *os << ' ' << n;
}

class StdioMemstreamGrowth : public StdioMemstream, public ::testing::WithParamInterface<GrowthRow> {};

TEST_P(StdioMemstreamGrowth, CapacityFollowsTheDoublingRule)
{
    std::string expected;
    for (size_t i = 0; i < GetParam().writes.size(); ++i) {
        char c = static_cast<char>('a' + i);
        ASSERT_EQ(writeBytes(GetParam().writes[i], c), 1u);
        expected.append(GetParam().writes[i], c);
        EXPECT_EQ(field(s, kCap), GetParam().capacities[i]) << "after write " << i;
    }
    EXPECT_EQ(g.read32(sizeVar), expected.size());
    EXPECT_EQ(g.readStr(g.read32(bufVar)), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, StdioMemstreamGrowth,
                         ::testing::Values(GrowthRow{{255}, {256}}, GrowthRow{{256}, {512}},
                                           GrowthRow{{300}, {512}}, GrowthRow{{600}, {1024}},
                                           GrowthRow{{200, 100}, {256, 512}},
                                           GrowthRow{{1, 254, 1, 255}, {256, 256, 512, 512}},
                                           GrowthRow{{511, 1, 1024}, {512, 1024, 2048}}));

TEST_F(StdioMemstream, FailedGrowthChangesNothing)
{
    writeBytes(200, 'a');
    uint32_t buf = field(s, kBuf);
    uint32_t more = g.str(std::string(100, 'b'));
    g.write32(g.sym("g_heap_used"), kHeapEnd - 160); // room for small blocks only

    EXPECT_EQ(g.call("fwrite", {more, 1u, 100u, s}), 0u);
    EXPECT_EQ(field(s, kBuf), buf);
    EXPECT_EQ(field(s, kLen), 200u);
    EXPECT_EQ(field(s, kCap), 256u);
    EXPECT_EQ(g.read32(bufVar), buf);
    EXPECT_EQ(g.read32(sizeVar), 200u);
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
        EXPECT_EQ(field(s, kLen), 3u);
        EXPECT_EQ(heapUsed(), used);
    }
}

} // namespace
} // namespace zylos::test
