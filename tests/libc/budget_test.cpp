// The instruction goals of the bench's table hold for our library: each
// workload gives the right result within its goal. The goals are stated once,
// in bench/counts.cpp.
#include "counts.h"
#include "harness/guest.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

TEST(Budgets, EveryBenchWorkloadStaysWithinItsGoal)
{
    Guest &g = drapeGuest();
    for (const bench::Workload &w : bench::workloads()) {
        if (!w.goal)
            continue;
        const bench::Count c = bench::countOne(g, w, nullptr);
        ASSERT_TRUE(c.insns) << w.name << ": " << c.note;
        EXPECT_LE(*c.insns, *w.goal) << w.name;
    }
}

} // namespace
} // namespace zylos::test
