// Process end, exit handlers, environment, absolute values and error texts.
#include "harness/temp_dir.h"
#include "support.h"

#include <climits>
#include <gtest/gtest.h>

namespace zylos::test {
namespace {

// exit, abort and an exit after atexit (whose handler is never kept nor run)
// make the one exit call and nothing else.
TEST(StdlibProcess, ExitAbortAndAtexit)
{
    Guest &g = drapeGuest();
    for (int status : {3, 0, 255, 1, 5}) {
        g.reset();
        if (status == 1) {
            g.call("abort");
        } else {
            if (status == 5) {
                EXPECT_EQ(g.call("atexit", {g.sym("abort")}), 0u);
                EXPECT_EQ(g.call("atexit", {0u}), 0u);
            }
            g.call("exit", {status});
        }
        ASSERT_TRUE(g.exited()) << status;
        EXPECT_EQ(g.exitStatus(), status);
        ASSERT_EQ(g.calls().size(), 1u) << status;
        EXPECT_EQ(g.calls()[0].name, "exit");
        EXPECT_EQ(g.calls()[0].args[0], uint32_t(status));
    }
}

TEST(StdlibProcess, ErrorTextsGetenvAndAbs)
{
    Guest &g = drapeGuest();
    EXPECT_EQ(g.read32(g.sym("errno")), 0u);
    // clang-format off
    const struct { int32_t number; const char *text; } rows[] = {
        {0, "ok"}, {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"},
        {1, "error"}, {12, "error"}, {39, "error"}, {-1, "error"}};
    // clang-format on
    for (const auto &row : rows) {
        const uint32_t text = g.call("strerror", {row.number});
        EXPECT_EQ(g.readStr(text), row.text) << row.number;
        EXPECT_EQ(g.call("strerror", {row.number}), text) << "the same pointer every time";
    }
    EXPECT_EQ(g.read32(g.sym("errno")), 0u);
    // getenv finds nothing; abs and labs keep INT_MIN.
    for (const char *name : {"PATH", "HOME", "", "="})
        EXPECT_EQ(g.call("getenv", {g.str(name)}), 0u) << name;
    EXPECT_EQ(g.call("getenv", {0u}), 0u);
    const struct {
        int32_t in, out;
    } cases[] = {{-5, 5}, {5, 5}, {0, 0}, {-1, 1}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}};
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

} // namespace
} // namespace zylos::test
