// Process end, exit handlers, environment and absolute values.
#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>


namespace zylos::test {
namespace {

class StdlibProcess : public ::testing::Test {
protected:
    Guest &g = Guest::drape();

    size_t countCalls(const std::string &name) const
    {
        size_t n = 0;
        for (const CallRecord &c : g.calls())
            n += c.name == name;
        return n;
    }
};

// Nothing but the exit call is made.
TEST_F(StdlibProcess, ExitEndsAtOnceWithItsStatus)
{
    for (int status : {3, 0, 255}) {
        g.reset();
        g.call("exit", {status});
        ASSERT_TRUE(g.exited());
        EXPECT_EQ(g.exitStatus(), status);
        ASSERT_EQ(g.calls().size(), 1u);
        EXPECT_EQ(g.calls()[0].name, "exit");
        EXPECT_EQ(g.calls()[0].args[0], uint32_t(status));
    }
}

TEST_F(StdlibProcess, AbortExitsWithOne)
{
    g.call("abort");
    ASSERT_TRUE(g.exited());
    EXPECT_EQ(g.exitStatus(), 1);
    EXPECT_EQ(countCalls("exit"), 1u);
    EXPECT_EQ(countCalls("write"), 0u);
}

// A registered handler is never run, not even by exit.
TEST_F(StdlibProcess, AtexitKeepsNothing)
{
    EXPECT_EQ(g.call("atexit", {g.sym("abort")}), 0u);
    EXPECT_EQ(g.call("atexit", {0u}), 0u);
    g.call("exit", {5});
    ASSERT_TRUE(g.exited());
    EXPECT_EQ(g.exitStatus(), 5);
    EXPECT_EQ(countCalls("exit"), 1u);
}

TEST_F(StdlibProcess, GetenvFindsNothing)
{
    for (const char *name : {"PATH", "HOME", "", "="})
        EXPECT_EQ(g.call("getenv", {g.str(name)}), 0u) << name;
    EXPECT_EQ(g.call("getenv", {0u}), 0u);
}

TEST_F(StdlibProcess, AbsAndLabs)
{
    const struct {
        int32_t in, out;
    } cases[] = {{-5, 5}, {5, 5}, {0, 0}, {-1, 1}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX},
                 {INT_MIN, INT_MIN}};
    for (const char *fn : {"abs", "labs"})
        for (const auto &c : cases)
            EXPECT_EQ(int32_t(g.call(fn, {c.in})), c.out) << fn << "(" << c.in << ")";
}

// Console output is written at once, but a whole-file stream that is never
// closed never reaches its file, and the atexit handler never prints.
TEST(StdlibProcessProgram, ExitLeavesUnclosedFileUnwritten)
{
    const TempDir root{"zylos-exit-unclosed"};
    const RunResult r = runProgram({"--root", root.str(), programPath("exit_unclosed")});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "before exit\n");
    EXPECT_FALSE(root.exists("unclosed.txt"));
}

}  // namespace
}  // namespace zylos::test
