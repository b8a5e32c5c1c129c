// The linear congruential generator, its seeding by srand, and the
// counter-based seeding of a first rand without srand.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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

uint32_t step(uint32_t &state)
{
    state = state * kMultiplier + kIncrement;
    return (state >> 16) & 0x7FFFu;
}

uint32_t previousState(uint32_t state)
{
    return (state - kIncrement) * inverseOf(kMultiplier);
}

class StdlibRand : public ::testing::Test {
protected:
    Guest &g = Guest::drape();

    uint32_t state() const { return g.read32(g.sym("g_rand_state")); }
    uint32_t seeded() const { return g.read32(g.sym("g_rand_seeded")); }

    // Draws n values, checking each against the generator from `from`.
    void expectSequenceFrom(uint32_t from, int n)
    {
        for (int i = 0; i < n; ++i) {
            const uint32_t want = step(from);
            const uint32_t got = g.call("rand");
            ASSERT_EQ(got, want) << "draw " << i;
            ASSERT_LE(got, 32767u);
        }
        EXPECT_EQ(state(), from);
    }
};

TEST_F(StdlibRand, SeedOneGivesTheClassicSequence)
{
    g.call("srand", {1u});
    EXPECT_EQ(seeded(), 1u);
    std::vector<uint32_t> got;
    for (int i = 0; i < 5; ++i)
        got.push_back(g.call("rand"));
    EXPECT_EQ(got, (std::vector<uint32_t>{16838, 5758, 10113, 17515, 31051}));
}

TEST_F(StdlibRand, SeedZeroActsAsSeedOne)
{
    g.call("srand", {0u});
    EXPECT_EQ(state(), 1u);
    EXPECT_EQ(seeded(), 1u);
    expectSequenceFrom(1, 5);
}

TEST_F(StdlibRand, AnySeedFollowsTheGenerator)
{
    for (uint32_t seed : {2u, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        g.call("srand", {seed});
        EXPECT_EQ(state(), seed);
        expectSequenceFrom(seed, 500);
    }
}

// The counter value is unknown, but the state left behind must be the one
// the returned value came from, and the generator must continue from it.
TEST_F(StdlibRand, FirstRandWithoutSrandSeedsItself)
{
    ASSERT_EQ(seeded(), 0u);
    ASSERT_EQ(state(), 1u);
    const uint32_t first = g.call("rand");
    const uint32_t s = state();
    EXPECT_EQ(seeded(), 1u);
    EXPECT_LE(first, 32767u);
    EXPECT_EQ(first, (s >> 16) & 0x7FFFu);
    EXPECT_NE(previousState(s), 0u);  // a zero seed is replaced by 1
    EXPECT_NE(s, 0x41C67EA6u) << "seeded with 1: the counter was not mixed in";
    expectSequenceFrom(s, 200);
    g.call("srand", {1u});
    expectSequenceFrom(1, 5);
}

TEST_F(StdlibRand, SeedsDifferBetweenRuns)
{
    g.call("rand");
    const uint32_t firstRun = state();
    g.reset();
    ASSERT_EQ(seeded(), 0u);
    g.call("rand");
    EXPECT_NE(state(), firstRun);
}

}  // namespace
}  // namespace zylos::test
