// The bump allocator: exact block placement and fill marks, exhaustion, and
// the allocating string copies.
#include "support.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

constexpr uint32_t kArena = 1048576;

class Heap : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
    const uint32_t heap = g.sym("g_heap");
    uint32_t used() const { return g.read32(g.sym("g_heap_used")); }
    uint32_t errnoValue() const { return g.read32(g.sym("errno")); }
    using State = std::pair<uint32_t, uint32_t>; // fill mark and errno
    State state() const { return {used(), errnoValue()}; }
    uint32_t recorded(uint32_t payload) const { return g.read32(payload - 4); }
    std::string bytes(uint32_t addr, size_t n) const { return bytesAt(g, addr, n); }
};

TEST_F(Heap, BlocksFollowOnEightByteStepsAndCallocClearsThem)
{
    const struct {
        uint32_t size, payload, mark;
    } steps[] = {{0, 4, 8}, {5, 12, 24}, {12, 28, 40}, {13, 44, 64}, {4, 68, 72}};
    for (const auto &s : steps) {
        EXPECT_EQ(g.call("malloc", {s.size}), heap + s.payload) << s.size;
        EXPECT_EQ(used(), s.mark) << s.size;
        EXPECT_EQ(recorded(heap + s.payload), s.size ? s.size : 1) << s.size;
    }
    EXPECT_TRUE(g.calls().empty());
    // calloc clears only the product and checks its width.
    g.reset();
    g.write(heap, std::string(32, '\xAA'));
    const uint32_t p = g.call("calloc", {3, 5});
    EXPECT_EQ(recorded(p), 15u);
    EXPECT_EQ(bytes(p, 16), std::string(15, '\0') + '\xAA');
    for (auto [count, size] : {std::pair{0u, 10u}, {10u, 0u}})
        EXPECT_EQ(recorded(g.call("calloc", {count, size})), 1u);
    EXPECT_EQ(used(), 40u);
    for (auto [count, size] : {std::pair{65536u, 65536u}, {2u, 0x80000000u}, {0x10000u, 0x8000u}}) {
        g.write32(g.sym("errno"), 0);
        EXPECT_EQ(g.call("calloc", {count, size}), 0u) << count << " x " << size;
        EXPECT_EQ(state(), (State{40, 12}));
    }
}

TEST_F(Heap, ExhaustionFailsWithErrnoAndMovesNothing)
{
    for (uint32_t size : {kArena - 3, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        g.reset();
        EXPECT_EQ(g.call("malloc", {size}), 0u) << size;
        EXPECT_EQ(state(), (State{0, 12})) << size;
    }
    g.reset();
    EXPECT_EQ(g.call("malloc", {kArena - 4}), heap + 4); // fills the arena exactly
    EXPECT_EQ(state(), (State{kArena, 0}));
    EXPECT_EQ(g.call("malloc", {0}), 0u);
    EXPECT_EQ(state(), (State{kArena, 12}));
}

TEST_F(Heap, ReallocTakesAFreshBlockAndFreeDoesNothing)
{
    g.write(heap, std::string(96, '\xAA'));
    const uint32_t ten = g.call("malloc", {10});
    g.write(ten, std::string("0123456789"));
    const uint32_t four = g.call("realloc", {ten, 4});
    EXPECT_EQ(four, heap + 20);
    EXPECT_EQ(bytes(four, 8), "0123\xAA\xAA\xAA\xAA");
    EXPECT_EQ(bytes(ten, 10), "0123456789"); // the old block stays
    const uint32_t grown = g.call("realloc", {four, 10});
    EXPECT_EQ(recorded(grown), 10u);
    EXPECT_EQ(bytes(grown, 10), "0123\xAA\xAA\xAA\xAA\xAA\xAA");
    const uint32_t one = g.call("realloc", {grown, 0});
    EXPECT_EQ(recorded(one), 1u);
    EXPECT_EQ(g.read8(one), uint8_t('0'));
    EXPECT_EQ(g.call("realloc", {0, 16}), one + 8); // like malloc
    EXPECT_EQ(recorded(one + 8), 16u);
    // A request that does not fit leaves the old block as it was.
    EXPECT_EQ(g.call("realloc", {ten, kArena}), 0u);
    EXPECT_EQ(state(), (State{72, 12}));
    EXPECT_EQ(bytes(ten, 10), "0123456789");
    // free changes nothing.
    for (uint32_t ptr : {ten, 0u, 0xDEADBEEFu})
        g.call("free", {ptr});
    EXPECT_EQ(state(), (State{72, 12}));
    EXPECT_EQ(bytes(ten, 10), "0123456789");
}

TEST_F(Heap, StringCopies)
{
    // n is strndup's count; strdup ignores the surplus word.
    // clang-format off
    const struct { const char *fn; uint32_t src, n; std::string copy; } rows[] = {
        {"strdup", g.strAtGuard("hello"), 0, "hello"}, {"strdup", 16, 0, ""},
        {"strndup", g.strAtGuard("abcdef"), 3, "abc"}, {"strndup", g.strAtGuard("ab"), 10, "ab"},
        {"strndup", g.strAtGuard("ab"), 0, ""}, {"strndup", 4095, 4, ""}};
    // clang-format on
    for (const auto &r : rows) {
        const uint32_t before = used(), copy = g.call(r.fn, {r.src, r.n});
        EXPECT_EQ(copy, heap + before + 4) << r.fn << " " << r.copy;
        EXPECT_EQ(recorded(copy), r.copy.size() + 1) << r.fn << " " << r.copy;
        EXPECT_EQ(g.readStr(copy), r.copy) << r.fn;
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

} // namespace
} // namespace zylos::test
