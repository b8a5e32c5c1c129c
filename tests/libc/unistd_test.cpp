// Kernel-call wrappers: argument slots, length clamping, refusals without a
// call, and results passed through unchanged.
#include "support.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using Unistd = GuestTest;

// Unused argument words hold junk, so a slot that must be 0 shows a stray read.
constexpr uint32_t kJunk = 0xA5A5A5A5u;

TEST_F(Unistd, EachWrapperFillsItsSlotsAndReturnsTheKernelsAnswer)
{
    const uint32_t p = g.str("/dir/file"), buf = g.alloc(64), m1 = uint32_t(-1), kMax = 0x7FFFFFFFu;
    // The slots are those the wrapper must fill. The sleeps ask for
    // microseconds (4295000000 wraps past 2^32) and always return 0.
    // clang-format off
    const struct { const char *fn; std::vector<uint32_t> args; uint32_t nr; std::vector<uint32_t> slots; } rows[] = {
        {"write", {1, buf, 3}, SYS_WRITE, {1, buf, 3}}, {"read", {0, buf, 7}, SYS_READ, {0, buf, 7}},
        {"open", {p, 0x241}, SYS_OPEN, {p, 0x241, 0x241}}, {"open", {p, 0x201}, SYS_OPEN, {p, 0x201, 0}},
        {"creat", {p}, SYS_OPEN, {p, 0x241, 0}}, {"close", {9}, SYS_CLOSE, {9}}, {"getkey", {}, SYS_GETKEY, {}},
        {"writefile", {p, buf, 3}, SYS_WRITEFILE, {p, buf, 3}}, {"sleep", {2}, SYS_USLEEP, {2000000}}, {"sleep", {4295}, SYS_USLEEP, {32704}},
        {"usleep", {250}, SYS_USLEEP, {250}}, {"mkdir", {p}, SYS_MKDIR, {p}}, {"unlink", {p}, SYS_UNLINK, {p}}, {"rmdir", {p}, SYS_RMDIR, {p}},
        {"getcwd", {buf, 64}, SYS_GETCWD, {buf, 64, 0}}, {"zylfs_stream_begin", {p}, SYS_ZYLFS_STREAM_BEGIN, {p}},
        {"zylfs_stream_write", {4, buf, 3}, SYS_ZYLFS_STREAM_WRITE, {4, buf, 3}}, {"zylfs_stream_end", {4}, SYS_ZYLFS_STREAM_END, {4}},
        {"chdir", {p}, SYS_CHDIR, {p}}, {"lseek", {3, m1, 2}, SYS_LSEEK, {3, m1, 2}}, {"pipe", {buf}, SYS_PIPE, {buf}},
        {"mkfifo", {p}, SYS_MKFIFO, {p}}, {"dup", {3}, SYS_DUP, {3}}, {"dup2", {3, 7}, SYS_DUP2, {3, 7, 0}},
        {"fd_set_inherit", {m1}, SYS_FD_SET_INHERIT, {1}}, {"fd_set_inherit", {0}, SYS_FD_SET_INHERIT, {0}},
        {"fd_set_stdio", {3, 4, 5}, SYS_FD_SET_STDIO, {3, 4, 5}},
        {"fd_set_nonblock", {3, 0x100}, SYS_FD_SET_NONBLOCK, {3, 1, 0}}, {"fd_set_nonblock", {3, 0}, SYS_FD_SET_NONBLOCK, {3, 0, 0}},
        {"spawn", {p, buf, 0}, SYS_SPAWN, {p, buf, 0}}, {"waitpid", {m1, buf, 1}, SYS_WAITPID, {m1, buf, 1}},
        // Lengths above the signed limit are clamped to it: each wrapper at
        // the limit's first step past, the shared clamp at both ends.
        {"write", {1, buf, m1}, SYS_WRITE, {1, buf, kMax}}, {"write", {1, buf, kMax}, SYS_WRITE, {1, buf, kMax}},
        {"write", {1, buf, kMax + 1}, SYS_WRITE, {1, buf, kMax}}, {"read", {0, buf, kMax + 1}, SYS_READ, {0, buf, kMax}},
        {"writefile", {p, buf, kMax + 1}, SYS_WRITEFILE, {p, buf, kMax}}, {"getcwd", {buf, kMax + 1}, SYS_GETCWD, {buf, kMax, 0}},
        {"zylfs_stream_write", {4, buf, kMax + 1}, SYS_ZYLFS_STREAM_WRITE, {4, buf, kMax}}};
    // clang-format on
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.fn << " " << (row.args.empty() ? 0 : row.args.back()));
        // A fresh guest whose kernel answers every call with 5000 + its
        // number, without performing it.
        g.reset();
        g.onCall([](const CallRecord &c, GuestMemoryView &) -> std::optional<int32_t> {
            return static_cast<int32_t>(5000 + c.nr);
        });
        EXPECT_EQ(callWords(g, row.fn, row.args, kJunk), row.nr == SYS_USLEEP ? 0 : 5000 + row.nr);
        ASSERT_EQ(g.calls().size(), 1u);
        EXPECT_EQ(g.calls()[0].nr, row.nr);
        for (size_t i = 0; i < row.slots.size(); ++i)
            EXPECT_EQ(g.calls()[0].args[i], row.slots[i]) << "slot " << i + 1;
    }
    g.reset();
    g.inject("open", 0, -2);
    EXPECT_EQ(int32_t(g.call("open", {g.str("nowhere"), 0})), -2);
}

TEST_F(Unistd, ObviouslyBadArgumentsAreRefusedWithoutACall)
{
    const uint32_t p = g.str("p"), buf = g.alloc(8);
    // clang-format off
    const std::vector<std::pair<const char *, std::vector<uint32_t>>> refused = {
        {"write", {1, 0, 5}}, {"read", {0, 0, 5}}, {"open", {0, 0x41}}, {"creat", {0}}, {"writefile", {0, buf, 1}},
        {"writefile", {p, 0, 1}}, {"mkdir", {0}}, {"unlink", {0}}, {"rmdir", {0}}, {"getcwd", {0, 16}},
        {"getcwd", {buf, 0}}, {"zylfs_stream_begin", {0}}, {"chdir", {0}}, {"zylfs_stream_write", {1, 0, 1}},
        {"pipe", {0}}, {"mkfifo", {0}}, {"spawn", {0, buf, 1}}, {"spawn", {p, buf, uint32_t(-1)}}, {"access", {0, 0}}};
    // clang-format on
    for (const auto &[fn, args] : refused) {
        g.reset();
        EXPECT_EQ(int32_t(callWords(g, fn, args, kJunk)), -1) << fn;
        EXPECT_TRUE(g.calls().empty()) << fn;
    }
}

// The exit call itself is exit's test, which goes through _exit.
TEST_F(Unistd, ExitNeverReturnsAndAccessClosesItsProbe)
{
    // Should the kernel ever come back, _exit stops on a halt, which user
    // mode may not execute, instead of returning to its caller.
    g.inject("exit", 0, 0);
    EXPECT_THROW(g.call("_exit", {4}), GuestFault);
    // access closes its probe: the log shows the open and the close of exactly
    // the descriptor that the open returned.
    g.reset();
    writeFile(inRoot(g, "present.txt"), "here");
    EXPECT_EQ(g.call("access", {g.str("/present.txt"), 4}), 0u);
    ASSERT_EQ(g.calls().size(), 2u);
    const CallRecord &open = g.calls()[0], &close = g.calls()[1];
    EXPECT_EQ(open.nr, uint32_t{SYS_OPEN});
    EXPECT_EQ(open.args[1], 0u);
    EXPECT_EQ(open.args[2], 0u);
    ASSERT_GE(open.result, 0);
    EXPECT_EQ(close.nr, uint32_t{SYS_CLOSE});
    EXPECT_EQ(close.args[0], uint32_t(open.result));
    EXPECT_EQ(int32_t(g.call("access", {g.str("/absent.txt"), 0})), -1);
    EXPECT_EQ(g.calls().size(), 3u); // only the failed open
}

} // namespace
} // namespace zylos::test
