// tests/libc/portable.c, a program of the routines beyond the base library,
// prints the same built for zylos as built for Linux with the host's C
// library.
#include "harness/guest.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using Portable = EachBackend;

// Each run in a folder of its own, the program's current one.
TEST_P(Portable, PrintsWhatTheHostsLibraryPrints)
{
    TempDir hostDir{"zylos-portable"}, root{"zylos-portable"};
    const RunResult host = runCommand({"sh", "-c", "cd \"$0\" && exec \"$1\"", hostDir.str(), ZYLOS_PORTABLE_HOST});
    const RunResult ours = run({"--root", root.str(), ZYLOS_PORTABLE_ZYLOS});
    ASSERT_TRUE(host.status == 0 && host.out.ends_with("done\n")) << host.err << host.out;
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.out, host.out);
}

ZYLOS_ON_EACH_BACKEND(Portable);

} // namespace
} // namespace zylos::test
