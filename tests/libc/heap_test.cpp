// The bump allocator: exact block placement and fill marks, exhaustion, and
// the allocating string copies.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zylos::test {
namespace {

constexpr uint32_t kArena = 1048576;

class Heap : public ::testing::Test {
protected:
    Guest &g = Guest::drape();
    const uint32_t heap = g.sym("g_heap");

    uint32_t used() const { return g.read32(g.sym("g_heap_used")); }
    uint32_t errnoValue() const { return g.read32(g.sym("errno")); }
    uint32_t recorded(uint32_t payload) const { return g.read32(payload - 4); }
    std::string bytesAt(uint32_t addr, size_t n) const
    {
        std::vector<uint8_t> b = g.read(addr, n);
        return std::string(b.begin(), b.end());
    }
};

TEST_F(Heap, BlocksFollowEachOtherOnEightByteSteps)
{
    const struct {
        uint32_t size, payload, mark;
    } steps[] = {{0, 4, 8}, {5, 12, 24}, {12, 28, 40}, {13, 44, 64}, {4, 68, 72}};
    for (const auto &s : steps) {
        EXPECT_EQ(g.call("malloc", {s.size}), heap + s.payload) << s.size;
        EXPECT_EQ(used(), s.mark) << s.size;
        EXPECT_EQ(recorded(heap + s.payload), s.size ? s.size : 1) << s.size;
        EXPECT_LE(g.instructions(), 20u) << "a bump and nothing else";
    }
    EXPECT_TRUE(g.calls().empty());
}

TEST_F(Heap, ExhaustionFailsWithErrnoAndMovesNothing)
{
    for (uint32_t size : {kArena - 3, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        g.reset();
        EXPECT_EQ(g.call("malloc", {size}), 0u) << size;
        EXPECT_EQ(errnoValue(), 12u) << size;
        EXPECT_EQ(used(), 0u) << size;
    }
    g.reset();
    EXPECT_EQ(g.call("malloc", {kArena - 4}), heap + 4);  // fills the arena exactly
    EXPECT_EQ(used(), kArena);
    EXPECT_EQ(errnoValue(), 0u);
    EXPECT_EQ(g.call("malloc", {0}), 0u);
    EXPECT_EQ(errnoValue(), 12u);
    EXPECT_EQ(used(), kArena);
}

TEST_F(Heap, CallocClearsOnlyTheProductAndChecksItsWidth)
{
    g.write(heap, std::string(32, '\xAA'));
    const uint32_t p = g.call("calloc", {3, 5});
    EXPECT_EQ(recorded(p), 15u);
    EXPECT_EQ(bytesAt(p, 16), std::string(15, '\0') + '\xAA');
    for (auto [count, size] : {std::pair{0u, 10u}, {10u, 0u}}) {
        const uint32_t q = g.call("calloc", {count, size});
        EXPECT_EQ(recorded(q), 1u);
    }
    EXPECT_EQ(used(), 40u);
    for (auto [count, size] : {std::pair{65536u, 65536u}, {2u, 0x80000000u}, {0x10000u, 0x8000u}}) {
        g.write32(g.sym("errno"), 0);
        EXPECT_EQ(g.call("calloc", {count, size}), 0u) << count << " x " << size;
        EXPECT_EQ(errnoValue(), 12u);
    }
    EXPECT_EQ(used(), 40u);
}

TEST_F(Heap, ReallocTakesAFreshBlockAndCopiesTheSmallerSize)
{
    g.write(heap, std::string(96, '\xAA'));
    const uint32_t ten = g.call("malloc", {10});
    g.write(ten, std::string("0123456789"));
    const uint32_t four = g.call("realloc", {ten, 4});
    EXPECT_EQ(four, heap + 20);
    EXPECT_EQ(bytesAt(four, 8), "0123\xAA\xAA\xAA\xAA");
    EXPECT_EQ(bytesAt(ten, 10), "0123456789");  // the old block stays
    const uint32_t grown = g.call("realloc", {four, 10});
    EXPECT_EQ(recorded(grown), 10u);
    EXPECT_EQ(bytesAt(grown, 10), "0123\xAA\xAA\xAA\xAA\xAA\xAA");
    const uint32_t one = g.call("realloc", {grown, 0});
    EXPECT_EQ(recorded(one), 1u);
    EXPECT_EQ(g.read8(one), uint8_t('0'));
    EXPECT_EQ(g.call("realloc", {0, 16}), one + 8);  // like malloc
    EXPECT_EQ(recorded(one + 8), 16u);
    // A request that does not fit leaves the old block as it was.
    EXPECT_EQ(g.call("realloc", {ten, kArena}), 0u);
    EXPECT_EQ(errnoValue(), 12u);
    EXPECT_EQ(used(), 72u);
    EXPECT_EQ(bytesAt(ten, 10), "0123456789");
}

TEST_F(Heap, FreeChangesNothing)
{
    const uint32_t p = g.call("malloc", {8});
    g.write(p, std::string("still"));
    for (uint32_t ptr : {p, 0u, 0xDEADBEEFu})
        g.call("free", {ptr});
    EXPECT_EQ(used(), 16u);
    EXPECT_EQ(g.readStr(p), "still");
}

TEST_F(Heap, StringCopies)
{
    const struct {
        const char *fn;
        uint32_t src;
        uint32_t n;
        std::string copy;
    } rows[] = {{"strdup", g.strAtGuard("hello"), 0, "hello"},
                {"strdup", 16, 0, ""},
                {"strndup", g.strAtGuard("abcdef"), 3, "abc"},
                {"strndup", g.strAtGuard("ab"), 10, "ab"},
                {"strndup", g.strAtGuard("ab"), 0, ""},
                {"strndup", 4095, 4, ""}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.fn << " " << r.copy);
        const uint32_t before = used();
        const uint32_t copy = std::string_view(r.fn) == "strdup" ? g.call(r.fn, {r.src})
                                                                 : g.call(r.fn, {r.src, r.n});
        EXPECT_EQ(copy, heap + before + 4);
        EXPECT_EQ(recorded(copy), r.copy.size() + 1);
        EXPECT_EQ(g.readStr(copy), r.copy);
    }
    const uint32_t mark = used();
    EXPECT_EQ(g.call("strdup", {0}), 0u);
    EXPECT_EQ(g.call("strndup", {0, 3}), 0u);
    EXPECT_EQ(used(), mark);
    // strndup reads nothing at or beyond the count.
    const uint32_t s = g.allocAtGuard(3);
    g.write(s, std::string("xyz"));
    EXPECT_EQ(g.readStr(g.call("strndup", {s, 3})), "xyz");
    EXPECT_THROW(g.call("strndup", {s, 4}), GuestFault);
}

}  // namespace
}  // namespace zylos::test
