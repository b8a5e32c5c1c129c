// Calls into a loaded image (image_calls/image_calls.h): arguments and results,
// faults, limits and reset.
#include "runner/kernel/layout.h"
#include "runner/probe.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

class Harness : public ::testing::Test {
protected:
    Guest &g = probe();
};

TEST_F(Harness, PassesArgumentsAndReturnsResults)
{
    EXPECT_EQ(g.call("probe_add", {40, 2}), 42u);
    EXPECT_EQ(g.call("probe_add", {-5, 3}), static_cast<uint32_t>(-2));
    // Variadic: pushed right to left, so the count comes first.
    EXPECT_EQ(g.call("probe_sum", {4, 1, 2, 3, 400}), 406u);
    // A 64-bit argument takes two words, low word first.
    EXPECT_EQ(g.call64("probe_mul64", {0x123456789ULL, 16u}), 0x1234567890ULL);
    EXPECT_EQ(g.call64("probe_mul64", {~0ULL, 2u}), ~0ULL - 1);
    // Long doubles come back in the x87 register.
    EXPECT_EQ(g.callLD("probe_half", {5.0L}), 2.5L);
    EXPECT_EQ(g.callLD("probe_sqrt2"), static_cast<long double>(1.4142135623730951));
    EXPECT_EQ(g.callF80("probe_half", {-3.0L}), (std::array<uint8_t, 10>{0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xBF}));
}

TEST_F(Harness, ResetRestoresImageDataX87AndScratchMemory)
{
    const uint32_t a = g.alloc(10, 64);
    EXPECT_EQ(a % 64, 0u);
    g.write(a, "abc");
    const uint32_t s = g.str("hello");
    EXPECT_EQ(g.readStr(s), "hello");
    EXPECT_GE(s, a + 10);
    EXPECT_EQ(g.call("probe_count"), 41u);
    EXPECT_EQ(g.call("probe_count"), 42u);
    // Extended precision, round to nearest, as after FNINIT.
    EXPECT_EQ(g.call("probe_fpu_control", {0}), 0x037Fu);
    EXPECT_EQ(g.call("probe_fpu_control", {0x0C7F}), 0x0C7Fu);
    EXPECT_EQ(g.call("probe_fpu_control", {0}), 0x0C7Fu);
    // Pages that were zero are zero again, whoever wrote them: the kernel
    // (a read into the bss), the harness, or the guest (its stack).
    const uint32_t bss = g.sym("main.buf"), stackTop = static_cast<uint32_t>(kUserEnd - kPageSize);
    g.setStdin("xyz");
    EXPECT_EQ(sys(g, SYS_READ, 0, bss, 3), 3);
    g.write(bss + 100, "w");
    EXPECT_NE(g.read(stackTop, kPageSize), std::vector<uint8_t>(kPageSize));
    g.reset();
    EXPECT_EQ(g.call("probe_count"), 41u);
    EXPECT_EQ(g.call("probe_fpu_control", {0}), 0x037Fu);
    EXPECT_EQ(g.alloc(10, 64), a);
    EXPECT_EQ(g.read(a, 3), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(g.read(bss, 128), std::vector<uint8_t>(128));
    g.reset();
    EXPECT_EQ(g.read(stackTop, kPageSize), std::vector<uint8_t>(kPageSize));
}

TEST_F(Harness, GuardsFaultsAndRunawayCalls)
{
    const uint32_t p = g.allocAtGuard(5);
    EXPECT_EQ(g.call("probe_load", {p + 4}), 0u);
    try {
        g.call("probe_load", {p + 5});
        FAIL() << "read past the guard allocation did not fault";
    } catch (const GuestFault &f) {
        EXPECT_EQ(f.address, p + 5);
        EXPECT_NE(std::string(f.what()).find("probe_load"), std::string::npos) << f.what();
    }
    const uint32_t s = g.strAtGuard("xyz");
    EXPECT_EQ(g.readStr(s), "xyz");
    EXPECT_THROW(g.read(s, 5), std::out_of_range);
    g.setInstructionLimit(100000);
    EXPECT_THROW(g.call("probe_spin"), GuestFault);
    EXPECT_EQ(g.instructions(), 100000u);
    EXPECT_THROW(g.sym("no_such_function"), std::runtime_error);
    EXPECT_THROW(g.write(g.sym("probe_add"), "x"), std::out_of_range); // code is read-only
}

// What no library test reaches: exact counts, exit, write chunks, the Nth
// injection, a throwing script.
TEST_F(Harness, CountsExitChunksInjectionsAndScripts)
{
    g.call("probe_add", {1, 2});
    const uint64_t add = g.instructions();
    EXPECT_GT(add, 0u);
    EXPECT_LT(add, 20u);
    g.call("probe_sum", {3, 1, 1, 1});
    const uint64_t three = g.instructions();
    g.call("probe_sum", {6, 1, 1, 1, 1, 1, 1});
    EXPECT_GT(g.instructions(), three);
    g.call("probe_add", {1, 2});
    EXPECT_EQ(g.instructions(), add);
    const uint32_t text = g.str("hello");
    g.inject("write", 2, -5);
    g.setWriteChunk(3);
    EXPECT_EQ(sys(g, SYS_WRITE, 1, text, 5), 3);
    EXPECT_EQ(sys(g, SYS_WRITE, 1, text, 5), -5);
    EXPECT_EQ(sys(g, SYS_WRITE, 1, text + 3, 2), 2);
    EXPECT_EQ(g.console(), "hello");
    EXPECT_TRUE(g.calls()[1].injected);
    EXPECT_FALSE(g.calls()[2].injected);
    g.onCall([](const CallRecord &, GuestMemoryView &) -> std::optional<int32_t> {
        throw std::invalid_argument("from the script");
    });
    EXPECT_THROW(sys(g, SYS_WRITE, 1, text, 1), std::invalid_argument);
    g.reset();
    EXPECT_EQ(sys(g, SYS_WRITE, 1, text, 5), 5);
    // Exit ends the call; further calls need a reset.
    EXPECT_FALSE(g.exited());
    sys(g, SYS_EXIT, 300);
    EXPECT_TRUE(g.exited());
    EXPECT_EQ(g.exitStatus(), 300);
    EXPECT_THROW(g.call("probe_add", {1, 2}), std::logic_error);
    g.reset();
    EXPECT_FALSE(g.exited());
}

// A GS segment of its own: every base bit reaches the descriptor, and a
// reset keeps the segment.
TEST(HarnessGsSegment, ReadsTheWordsAtItsBase)
{
    Guest g(programPath("probe"));
    const uint32_t block = g.alloc(64) + 0x24;
    g.write32(block, 0x11223344);
    g.write32(block + 16, block);
    g.setGsSegment(block);
    EXPECT_EQ(g.call("probe_gs_word", {0}), 0x11223344u);
    EXPECT_EQ(g.call("probe_gs_word", {16}), block);
    g.reset();
    g.write32(g.alloc(64) + 0x24, 0x55667788);
    EXPECT_EQ(g.call("probe_gs_word", {0}), 0x55667788u);
}

} // namespace
} // namespace zylos::test
