// The profiler on its own, driven block by block through the debuggee's
// symbols, where a whole run cannot reach a limit cheaply.
#include "harness/guest.h"
#include "hostlib/elf32.h"
#include "hostlib/host_files.h"
#include "runner/debug/profiler.h"

#include <gtest/gtest.h>

#include <map>

namespace zylos::test {
namespace {

// Calls that would make more stacks than the profiler keeps go to one frame,
// as do the calls made from there; the stacks kept count on as before.
TEST(Profiler, StacksBeyondTheLimitAreChargedToOneFrame)
{
    const std::vector<uint8_t> file = readBytes(programPath("debuggee"));
    std::map<std::string, uint32_t> at;
    for (const elf::Symbol &s : elf::File(file).symbols())
        at[s.name] = s.value;
    const Symbolizer symbols(file, at["_start"]);
    Profiler profiler(symbols, 3);
    profiler.enterBlock(at["_start"], 0x1000);
    profiler.enterBlock(at["main"], 0xFF0);
    profiler.enterBlock(at["scale"], 0xFE0); // the third stack
    profiler.countInstructions(5);
    profiler.enterBlock(at["main"] + 1, 0xFF0); // scale returned
    profiler.countInstructions(1);
    profiler.enterBlock(at["descend"], 0xFE0);
    profiler.countInstructions(7);
    profiler.enterBlock(at["descend"], 0xFD0);
    profiler.countInstructions(2);

    std::string folded;
    profiler.folded([&](std::string_view line) { folded += line; });
    EXPECT_EQ(folded, "[cut: more than 3 stacks] 9\n_start;main 1\n_start;main;scale 5\n");
    EXPECT_EQ(profiler.total(), 15u);
    const std::string summary = profiler.summary(20);
    EXPECT_NE(summary.find("%  [cut: more than 3 stacks]\n"), std::string::npos) << summary;
    EXPECT_TRUE(summary.ends_with(
        "\n  (9 instructions ran in stacks beyond the first 3, charged to [cut: more than 3 stacks])\n"))
        << summary;
}

} // namespace
} // namespace zylos::test
