// The linear congruential generator, its seeding by srand, and the
// counter-based seeding of a first rand without srand.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zylos::test {
namespace {

constexpr uint32_t kMultiplier = 1103515245u;
constexpr uint32_t kIncrement = 12345u;

constexpr uint32_t inverseOf(uint32_t a)
{
    uint32_t x = a;  // Newton's iteration doubles the correct low bits each round
    for (int i = 0; i < 5; ++i)
        x *= 2u - a * x;
    return x;
}
static_assert(kMultiplier * inverseOf(kMultiplier) == 1u);

// The next draw from state, which it advances; and the state before state.
uint32_t step(uint32_t &state)
{
    state = state * kMultiplier + kIncrement;
    return (state >> 16) & 0x7FFFu;
}
uint32_t previousState(uint32_t state) { return (state - kIncrement) * inverseOf(kMultiplier); }

class StdlibRand : public ::testing::Test {
protected:
    Guest &g = Guest::drape();
    uint32_t state() const { return g.read32(g.sym("g_rand_state")); }
    uint32_t seeded() const { return g.read32(g.sym("g_rand_seeded")); }
    // Draws n values, checking each against the generator from `from`.
    void expectSequenceFrom(uint32_t from, int n)
    {
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(g.call("rand"), step(from)) << "draw " << i;
        EXPECT_EQ(state(), from);
    }
};

// Seed 1 gives the classic sequence; seed 0 acts as seed 1.
TEST_F(StdlibRand, SeedingAndTheGenerator)
{
    g.call("srand", {1u});
    EXPECT_EQ(seeded(), 1u);
    for (uint32_t want : {16838u, 5758u, 10113u, 17515u, 31051u})
        EXPECT_EQ(g.call("rand"), want);
    for (uint32_t seed : {0u, 2u, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        g.reset();
        g.call("srand", {seed});
        EXPECT_EQ(state(), seed ? seed : 1u);
        EXPECT_EQ(seeded(), 1u);
        expectSequenceFrom(seed ? seed : 1u, 500);
    }
    // A first rand without srand seeds itself from the counter. Its value is
    // unknown, but the state left behind must be the one the returned value
    // came from, the generator must continue from it, and another run must
    // get another seed.
    g.reset();
    ASSERT_EQ(seeded(), 0u);
    ASSERT_EQ(state(), 1u);
    const uint32_t first = g.call("rand");
    const uint32_t s = state();
    EXPECT_EQ(seeded(), 1u);
    EXPECT_EQ(first, (s >> 16) & 0x7FFFu);
    EXPECT_NE(previousState(s), 0u);  // a zero seed is replaced by 1
    EXPECT_NE(s, 0x41C67EA6u) << "seeded with 1: the counter was not mixed in";
    expectSequenceFrom(s, 200);
    g.call("srand", {1u});
    expectSequenceFrom(1, 5);
    g.reset();
    g.call("rand");
    EXPECT_NE(state(), s);
}

}  // namespace
}  // namespace zylos::test
