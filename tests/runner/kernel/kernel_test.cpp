// The kernel model as a guest sees it: files under the root, folders, the
// current directory, streams, pipes, descriptors and the root's confinement.
// Bad pointers and the limits are in hostile_test.cpp.
#include "fuzz/fuzz_check.h"
#include "runner/probe.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

using KernelCalls = ProbeCalls;

TEST_F(KernelCalls, FilesAreWrittenOpenedAndReadBack)
{
    EXPECT_GE(sysWriteFile("/a.txt", "hello world"), 0);
    EXPECT_EQ(readFile(root / "a.txt"), "hello world");
    const int32_t fd = k(SYS_OPEN, s("/a.txt"), 0);
    ASSERT_GE(fd, 3);
    const uint32_t buf = g.alloc(16);
    EXPECT_EQ(k(SYS_READ, fd, buf, 5), 5);
    EXPECT_EQ(g.readStr(buf), "hello");
    EXPECT_EQ(k(SYS_LSEEK, fd, static_cast<uint32_t>(-5), 2), 6);
    EXPECT_EQ(k(SYS_LSEEK, fd, 0, 3), kEINVAL);
    // A position past what the result can say is refused and changes nothing.
    EXPECT_EQ(k(SYS_LSEEK, fd, 0x7FFFFFFF, 1), -75);
    EXPECT_EQ(readAll(fd), "world");
    EXPECT_EQ(readAll(fd), "");
    EXPECT_EQ(k(SYS_CLOSE, fd), 0);
    EXPECT_EQ(k(SYS_CLOSE, fd), kEBADF);
    // Replacing keeps exactly the new bytes and leaves no temporary behind.
    EXPECT_GE(sysWriteFile("a.txt", std::string("b\0y", 3)), 0);
    EXPECT_EQ(readFile(root / "a.txt"), std::string("b\0y", 3));
    EXPECT_EQ(listing(root), std::set<std::string>{"a.txt"});
    EXPECT_EQ(sysWriteFile("/nodir/a.txt", "x"), kENOENT);
    fs::create_directory(root / "dir");
    EXPECT_EQ(sysWriteFile("/dir", "x"), -21);
    // Open flags create, truncate and restrict.
    const int32_t wfd = k(SYS_OPEN, s("/new"), kWriteOnly | kCreate, kWriteOnly | kCreate);
    ASSERT_GE(wfd, 3);
    EXPECT_EQ(k(SYS_WRITE, static_cast<uint32_t>(wfd), s("data"), 4), 4);
    EXPECT_EQ(k(SYS_READ, static_cast<uint32_t>(wfd), g.alloc(4), 4), kEBADF);
    EXPECT_EQ(readFile(root / "new"), "data");
    EXPECT_GE(k(SYS_OPEN, s("/new"), kWriteOnly | kTruncate), 3);
    EXPECT_EQ(readFile(root / "new"), "");
    EXPECT_EQ(k(SYS_OPEN, s("/missing"), 0), kENOENT);
    EXPECT_EQ(k(SYS_OPEN, s(""), 0), kENOENT);
    EXPECT_EQ(k(SYS_OPEN, s("/new"), 0x1000000), kEINVAL);
    EXPECT_EQ(k(SYS_OPEN, s("/new"), 3), kEINVAL); // no access mode 3
    const int32_t dir = k(SYS_OPEN, s("/"), 0);
    ASSERT_GE(dir, 3);
    EXPECT_EQ(k(SYS_READ, static_cast<uint32_t>(dir), g.alloc(4), 4), -21);
}

TEST_F(KernelCalls, FoldersAndTheCurrentDirectory)
{
    EXPECT_EQ(k(SYS_MKDIR, s("d")), 0);
    EXPECT_EQ(k(SYS_MKDIR, s("/d/")), kEEXIST);
    EXPECT_GE(sysWriteFile("d/f", "x"), 0);
    EXPECT_EQ(k(SYS_RMDIR, s("d")), -39);
    EXPECT_EQ(k(SYS_UNLINK, s("d/f")), 0);
    EXPECT_EQ(k(SYS_UNLINK, s("d/f")), kENOENT);
    EXPECT_EQ(k(SYS_RMDIR, s("/d")), 0);
    EXPECT_FALSE(fs::exists(root / "d"));
    for (const char *odd : {".", "..", "/", "d/..", "//"})
        for (const uint32_t nr : {SYS_MKDIR, SYS_RMDIR, SYS_UNLINK})
            EXPECT_EQ(k(nr, s(odd)), kEINVAL) << odd << " " << nr;
    // A trailing slash names a folder: a file so named is neither replaced
    // nor removed, and no file is made under such a name.
    ASSERT_GE(sysWriteFile("/f", "old"), 0);
    ASSERT_EQ(k(SYS_MKDIR, s("/e")), 0);
    const int32_t kENOTDIR = -20, kEISDIR = -21;
    for (const auto &[name, result, expected] : std::vector<std::tuple<const char *, int32_t, int32_t>>{
             // clang-format off
             {"writefile /f/", sysWriteFile("/f/", "new"), kENOTDIR}, {"writefile /f//", sysWriteFile("/f//", "new"), kENOTDIR},
             {"unlink /f/", k(SYS_UNLINK, s("/f/")), kENOTDIR}, {"rmdir /f/", k(SYS_RMDIR, s("/f/")), kENOTDIR},
             // clang-format on
             {"stream /f/", k(SYS_ZYLFS_STREAM_BEGIN, s("/f/")), kENOTDIR},
             {"open /f/", k(SYS_OPEN, s("/f/"), kWriteOnly | kTruncate), kENOTDIR},
             {"writefile /e/", sysWriteFile("/e/", "new"), kEISDIR},
             {"writefile /g/", sysWriteFile("/g/", "new"), kEISDIR},
             {"stream /g/", k(SYS_ZYLFS_STREAM_BEGIN, s("/g/")), kEISDIR}})
        EXPECT_EQ(result, expected) << name;
    EXPECT_EQ(readFile(root / "f"), "old");
    EXPECT_EQ(listing(root), (std::set<std::string>{"e", "f"}));
    // Relative paths follow the current directory.
    const auto cwd = [&] {
        const uint32_t buf = g.alloc(256);
        const int32_t n = k(SYS_GETCWD, buf, 256);
        const std::string text = n < 0 ? "" : g.readStr(buf);
        EXPECT_EQ(n, static_cast<int32_t>(text.size()));
        return text;
    };
    EXPECT_EQ(cwd(), "/");
    ASSERT_EQ(k(SYS_MKDIR, s("a")), 0);
    ASSERT_EQ(k(SYS_MKDIR, s("a/b")), 0);
    EXPECT_EQ(k(SYS_CHDIR, s("a/./b/")), 0);
    EXPECT_EQ(cwd(), "/a/b");
    EXPECT_GE(sysWriteFile("rel", "x"), 0);
    EXPECT_TRUE(fs::exists(root / "a" / "b" / "rel"));
    EXPECT_EQ(k(SYS_CHDIR, s("rel")), -20);
    EXPECT_EQ(k(SYS_CHDIR, s("missing")), kENOENT);
    EXPECT_EQ(cwd(), "/a/b");
    EXPECT_EQ(k(SYS_CHDIR, s("../../../..")), 0);
    EXPECT_EQ(cwd(), "/");
    EXPECT_EQ(k(SYS_CHDIR, s("/a")), 0);
    EXPECT_EQ(k(SYS_GETCWD, g.alloc(2), 2), -34);
    EXPECT_EQ(k(SYS_GETCWD, g.alloc(3), 3), 2);
}

TEST_F(KernelCalls, StreamedFilesAppearWhenEndedAndBackgroundsNeedAFile)
{
    const int32_t h = k(SYS_ZYLFS_STREAM_BEGIN, s("/s.txt"));
    ASSERT_GT(h, 0);
    const uint32_t handle = static_cast<uint32_t>(h);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, handle, s("ab"), 2), 2);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, handle, s("cd"), 2), 2);
    EXPECT_FALSE(fs::exists(root / "s.txt"));
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, handle), 0);
    EXPECT_EQ(readFile(root / "s.txt"), "abcd");
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, handle), kEBADF);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, handle, s("x"), 1), kEBADF);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_BEGIN, s("/nodir/s.txt")), kENOENT);
    // The background needs a regular file in the root.
    ASSERT_GE(sysWriteFile("/img.rei", "REI"), 0);
    ASSERT_EQ(k(SYS_MKDIR, s("/images")), 0);
    EXPECT_EQ(k(SYS_SET_BACKGROUND, s("/img.rei")), 0);
    EXPECT_EQ(k(SYS_SET_BACKGROUND, s("/images")), -21);
    EXPECT_EQ(k(SYS_SET_BACKGROUND, s("/none.rei")), kENOENT);
    EXPECT_EQ(k(SYS_CHDIR, s("/images")), 0);
    EXPECT_EQ(k(SYS_SET_BACKGROUND, s("../img.rei")), 0);
}

TEST_F(KernelCalls, PipesAndDescriptorNumbers)
{
    const uint32_t fds = g.alloc(8), block = g.alloc(4096);
    ASSERT_EQ(k(SYS_PIPE, fds), 0);
    const uint32_t r = g.read32(fds), w = g.read32(fds + 4);
    EXPECT_EQ(std::set<uint32_t>({r, w}), std::set<uint32_t>({3, 4}));
    // One process: a wait would never end.
    EXPECT_EQ(k(SYS_FD_SET_NONBLOCK, r, 1), 0);
    EXPECT_EQ(k(SYS_FD_SET_NONBLOCK, w, 1), 0);
    // A pipe holds 64 KiB; past that a write is refused until they are read.
    int32_t held = 0, n = 0;
    for (int i = 0; i < 20 && (n = k(SYS_WRITE, w, block, 4096)) > 0; ++i)
        held += n;
    EXPECT_EQ(n, -11);
    EXPECT_EQ(held, 65536);
    for (int i = 0; i < 20 && (n = k(SYS_READ, r, block, 4096)) > 0; ++i)
        held -= n;
    EXPECT_EQ(n, -11);
    EXPECT_EQ(held, 0);
    EXPECT_EQ(k(SYS_WRITE, w, s("ping"), 4), 4);
    EXPECT_EQ(readAll(r), "ping");
    EXPECT_EQ(k(SYS_DUP2, w, 1), 1);
    EXPECT_EQ(k(SYS_WRITE, 1, s("x"), 1), 1);
    EXPECT_EQ(readAll(r), "x");
    EXPECT_EQ(k(SYS_CLOSE, w), 0);
    EXPECT_EQ(readAll(r), "<-11>"); // descriptor 1 still holds the write end
    EXPECT_EQ(k(SYS_CLOSE, 1), 0);
    EXPECT_EQ(readAll(r), "");
    // Descriptor numbers are checked; errors still reach the console.
    EXPECT_EQ(k(SYS_WRITE, 1, s("x"), 1), kEBADF);
    EXPECT_EQ(k(SYS_DUP, 0), 1); // the lowest free descriptor
    EXPECT_EQ(k(SYS_WRITE, 2, s("x"), 1), 1);
    for (const uint32_t fd : {64u, 0xFFFFFFFFu, 0u}) // 0: console input is not writable
        EXPECT_EQ(k(SYS_WRITE, fd, s("x"), 1), kEBADF) << fd;
    EXPECT_EQ(k(SYS_DUP2, 1, 64), kEBADF);
    EXPECT_EQ(k(SYS_LSEEK, 2, 0, 0), -29);
    EXPECT_EQ(g.console(), "");
    // With no reader left, a write is -32.
    ASSERT_EQ(k(SYS_PIPE, fds), 0);
    EXPECT_EQ(k(SYS_CLOSE, g.read32(fds)), 0);
    EXPECT_EQ(k(SYS_WRITE, g.read32(fds + 4), s("x"), 1), -32);
}

TEST_F(KernelCalls, KeysSleepsAndCallsWithoutAMeaningHere)
{
    g.setStdin("A\xff");
    EXPECT_EQ(k(SYS_GETKEY), 'A');
    EXPECT_EQ(k(SYS_GETKEY), 0xff);
    EXPECT_EQ(k(SYS_GETKEY), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(k(SYS_USLEEP, 30000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    // Without a process table (a kernel of a run of its own) nothing spawns.
    for (uint32_t nr : {0u, 7u, uint32_t{SYS_SPAWN}, uint32_t{SYS_WAITPID}, 999u, 0xFFFFFFFFu})
        EXPECT_EQ(k(nr, s("/x"), 1, 2), -38) << nr;
}

// Nothing a guest names leads out of the root: not "..", not an absolute
// path, not a symlink, whatever the call. The root is the kernel fuzz
// target's own.
using RootConfinement = ProbeCalls;

TEST_F(RootConfinement, EscapesFailAndLinksAreReplacedNotFollowed)
{
    const fuzz::PlantedRoot planted{"confinement"};
    g.setRoot(planted.root.string());
    ASSERT_GE(k(SYS_OPEN, s("file"), 0), 0);
    ASSERT_EQ(k(SYS_SET_BACKGROUND, s("/file")), 0);
    const std::string hostPath = (planted.outside / "secret").string();
    for (const std::string &path :
         {std::string("../outside/secret"), std::string("/../../outside/secret"), std::string("out_abs/secret"),
          std::string("out_rel/secret"), "dir/up" + hostPath, hostPath}) {
        EXPECT_EQ(k(SYS_OPEN, s(path), 0), kENOENT) << path;
        EXPECT_EQ(k(SYS_SET_BACKGROUND, s(path)), kENOENT) << path;
        EXPECT_LT(k(SYS_OPEN, s(path), kWriteOnly | kTruncate), 0) << path;
        EXPECT_LT(sysWriteFile(path, "pwned"), 0) << path;
        EXPECT_LT(k(SYS_MKDIR, s(path + "_dir")), 0) << path;
        EXPECT_LT(k(SYS_UNLINK, s(path)), 0) << path;
        EXPECT_LT(k(SYS_ZYLFS_STREAM_BEGIN, s(path)), 0) << path;
        EXPECT_LT(k(SYS_CHDIR, s(path + "/..")), 0) << path;
        EXPECT_LT(sysWriteFile(path.substr(0, path.rfind('/')) + "/new", "pwned"), 0) << path;
    }
    // Replacing a symlink replaces the link itself.
    EXPECT_GE(sysWriteFile("/file_out", "new"), 0);
    EXPECT_FALSE(fs::is_symlink(planted.root / "file_out"));
    EXPECT_EQ(readFile(planted.root / "file_out"), "new");
    EXPECT_EQ(k(SYS_UNLINK, s("/out_abs")), 0); // removes the link, not what it names
    EXPECT_TRUE(planted.outsideUnchanged());
}

// A named pipe is where its path leads, however it is spelled: through a
// link into a folder, ".." goes up from that folder.
TEST_F(RootConfinement, NamedPipesAreFoundWhereTheirPathLeads)
{
    fs::create_directories(root / "sub" / "deeper");
    fs::create_symlink("sub/deeper", root / "s");
    writeFile(root / "inside.txt", "file");
    ASSERT_EQ(k(SYS_MKFIFO, s("/s/../inside.txt")), 0); // /sub/inside.txt
    ASSERT_EQ(k(SYS_MKFIFO, s("/sub/inside.txt")), kEEXIST);
    EXPECT_EQ(readAll(static_cast<uint32_t>(k(SYS_OPEN, s("/inside.txt"), 0))), "file");
    EXPECT_EQ(k(SYS_MKFIFO, s("/inside.txt")), kEEXIST);
    EXPECT_EQ(k(SYS_UNLINK, s("/sub/inside.txt")), 0);
    EXPECT_EQ(k(SYS_OPEN, s("/s/../inside.txt"), 0), kENOENT);
    EXPECT_EQ(readFile(root / "inside.txt"), "file");
}

} // namespace
} // namespace zylos::test
