// The kernel model as a guest sees it: files under the root, folders, the
// current directory, streams, pipes, descriptors, bad pointers and limits.
#include "probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;

enum : uint32_t {
    kWrite = 1, kExit = 2, kRead = 3, kOpen = 4, kClose = 5, kGetKey = 6, kWriteFile = 21, kUsleep = 22,
    kMkdir = 49, kUnlink = 50, kRmdir = 51, kGetCwd = 52, kStreamBegin = 53, kStreamWrite = 54,
    kStreamEnd = 55, kSetBackground = 92, kChdir = 95, kLseek = 110, kPipe = 124, kDup = 126, kDup2 = 127,
};
constexpr uint32_t kWriteOnly = 0x1, kCreate = 0x40, kTruncate = 0x200;
constexpr int32_t kEBADF = -9, kEFAULT = -14, kENOENT = -2, kEEXIST = -17, kEINVAL = -22;

std::string hostRead(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::set<std::string> listing(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

size_t openHostDescriptors() { return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

class KernelCalls : public ::testing::Test {
protected:
    Guest &g = probe();
    fs::path root = g.rootDir();

    int32_t k(uint32_t nr, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0) { return sys(g, nr, a, b, c); }
    uint32_t s(const std::string &text) { return g.str(text); }
    int32_t writeFile(const std::string &path, const std::string &bytes)
    {
        return k(kWriteFile, s(path), s(bytes), static_cast<uint32_t>(bytes.size()));
    }
    std::string readAll(uint32_t fd)
    {
        const uint32_t buf = g.alloc(256);
        const int32_t n = k(kRead, fd, buf, 256);
        return n < 0 ? "<" + std::to_string(n) + ">" : std::string(g.readStr(buf).substr(0, static_cast<size_t>(n)));
    }
    std::string cwd()
    {
        const uint32_t buf = g.alloc(256);
        const int32_t n = k(kGetCwd, buf, 256);
        const std::string text = n < 0 ? "" : g.readStr(buf);
        EXPECT_EQ(n, static_cast<int32_t>(text.size()));
        return text;
    }
};

TEST_F(KernelCalls, WholeFilesAreWrittenAndReadBack)
{
    EXPECT_GE(writeFile("/a.txt", "hello world"), 0);
    EXPECT_EQ(hostRead(root / "a.txt"), "hello world");
    const int32_t fd = k(kOpen, s("/a.txt"), 0);
    ASSERT_GE(fd, 3);
    const uint32_t buf = g.alloc(16);
    EXPECT_EQ(k(kRead, fd, buf, 5), 5);
    EXPECT_EQ(g.readStr(buf), "hello");
    EXPECT_EQ(k(kLseek, fd, static_cast<uint32_t>(-5), 2), 6);
    EXPECT_EQ(readAll(fd), "world");
    EXPECT_EQ(readAll(fd), "");
    EXPECT_EQ(k(kClose, fd), 0);
    EXPECT_EQ(k(kClose, fd), kEBADF);

    // Replacing keeps exactly the new bytes and leaves no temporary behind.
    EXPECT_GE(writeFile("a.txt", std::string("b\0y", 3)), 0);
    EXPECT_EQ(hostRead(root / "a.txt"), std::string("b\0y", 3));
    EXPECT_EQ(listing(root), std::set<std::string>{"a.txt"});
    EXPECT_EQ(writeFile("/nodir/a.txt", "x"), kENOENT);
    fs::create_directory(root / "dir");
    EXPECT_EQ(writeFile("/dir", "x"), -21);
}

TEST_F(KernelCalls, OpenFlagsCreateTruncateAndRestrict)
{
    const int32_t fd = k(kOpen, s("/new"), kWriteOnly | kCreate, kWriteOnly | kCreate);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(k(kWrite, static_cast<uint32_t>(fd), s("data"), 4), 4);
    EXPECT_EQ(k(kRead, static_cast<uint32_t>(fd), g.alloc(4), 4), kEBADF);
    EXPECT_EQ(hostRead(root / "new"), "data");
    EXPECT_GE(k(kOpen, s("/new"), kWriteOnly | kTruncate), 3);
    EXPECT_EQ(hostRead(root / "new"), "");

    EXPECT_EQ(k(kOpen, s("/missing"), 0), kENOENT);
    EXPECT_EQ(k(kOpen, s(""), 0), kENOENT);
    EXPECT_EQ(k(kOpen, s("/new"), 0x1000000), kEINVAL);
    const int32_t dir = k(kOpen, s("/"), 0);
    ASSERT_GE(dir, 3);
    EXPECT_EQ(k(kRead, static_cast<uint32_t>(dir), g.alloc(4), 4), -21);
}

TEST_F(KernelCalls, FoldersAreMadeAndRemoved)
{
    EXPECT_EQ(k(kMkdir, s("d")), 0);
    EXPECT_EQ(k(kMkdir, s("/d/")), kEEXIST);
    EXPECT_GE(writeFile("d/f", "x"), 0);
    EXPECT_EQ(k(kRmdir, s("d")), -39);
    EXPECT_EQ(k(kUnlink, s("d/f")), 0);
    EXPECT_EQ(k(kUnlink, s("d/f")), kENOENT);
    EXPECT_EQ(k(kRmdir, s("/d")), 0);
    EXPECT_FALSE(fs::exists(root / "d"));
    for (const char *odd : {".", "..", "/", "d/..", "//"}) {
        EXPECT_EQ(k(kMkdir, s(odd)), kEINVAL) << odd;
        EXPECT_EQ(k(kRmdir, s(odd)), kEINVAL) << odd;
        EXPECT_EQ(k(kUnlink, s(odd)), kEINVAL) << odd;
    }
}

TEST_F(KernelCalls, RelativePathsFollowTheCurrentDirectory)
{
    EXPECT_EQ(cwd(), "/");
    ASSERT_EQ(k(kMkdir, s("a")), 0);
    ASSERT_EQ(k(kMkdir, s("a/b")), 0);
    EXPECT_EQ(k(kChdir, s("a/./b/")), 0);
    EXPECT_EQ(cwd(), "/a/b");
    EXPECT_GE(writeFile("rel", "x"), 0);
    EXPECT_TRUE(fs::exists(root / "a" / "b" / "rel"));
    EXPECT_EQ(k(kChdir, s("rel")), -20);
    EXPECT_EQ(k(kChdir, s("missing")), kENOENT);
    EXPECT_EQ(cwd(), "/a/b");
    EXPECT_EQ(k(kChdir, s("../../../..")), 0);
    EXPECT_EQ(cwd(), "/");
    EXPECT_EQ(k(kChdir, s("/a")), 0);
    EXPECT_EQ(k(kGetCwd, g.alloc(2), 2), -34);
    EXPECT_EQ(k(kGetCwd, g.alloc(3), 3), 2);
}

TEST_F(KernelCalls, StreamedFilesAppearWhenEnded)
{
    const int32_t h = k(kStreamBegin, s("/s.txt"));
    ASSERT_GT(h, 0);
    const uint32_t handle = static_cast<uint32_t>(h);
    EXPECT_EQ(k(kStreamWrite, handle, s("ab"), 2), 2);
    EXPECT_EQ(k(kStreamWrite, handle, s("cd"), 2), 2);
    EXPECT_FALSE(fs::exists(root / "s.txt"));
    EXPECT_EQ(k(kStreamEnd, handle), 0);
    EXPECT_EQ(hostRead(root / "s.txt"), "abcd");
    EXPECT_EQ(k(kStreamEnd, handle), kEBADF);
    EXPECT_EQ(k(kStreamWrite, handle, s("x"), 1), kEBADF);
    EXPECT_EQ(k(kStreamBegin, s("/nodir/s.txt")), kENOENT);
}

TEST_F(KernelCalls, BackgroundNeedsARegularFileInTheRoot)
{
    ASSERT_GE(writeFile("/img.rei", "REI"), 0);
    ASSERT_EQ(k(kMkdir, s("/images")), 0);
    EXPECT_EQ(k(kSetBackground, s("/img.rei")), 0);
    EXPECT_EQ(k(kSetBackground, s("/images")), -21);
    EXPECT_EQ(k(kSetBackground, s("/none.rei")), kENOENT);
    EXPECT_EQ(k(kChdir, s("/images")), 0);
    EXPECT_EQ(k(kSetBackground, s("../img.rei")), 0);
}

TEST_F(KernelCalls, PipesAndDuplicatedDescriptors)
{
    const uint32_t fds = g.alloc(8);
    ASSERT_EQ(k(kPipe, fds), 0);
    const uint32_t r = g.read32(fds), w = g.read32(fds + 4);
    EXPECT_EQ(std::set<uint32_t>({r, w}), std::set<uint32_t>({3, 4}));
    EXPECT_EQ(k(kWrite, w, s("ping"), 4), 4);
    EXPECT_EQ(readAll(r), "ping");
    EXPECT_EQ(readAll(r), "<-11>"); // empty, writer still open: would never complete
    EXPECT_EQ(k(kDup2, w, 1), 1);
    EXPECT_EQ(k(kWrite, 1, s("x"), 1), 1);
    EXPECT_EQ(g.console(), "");
    EXPECT_EQ(readAll(r), "x");
    EXPECT_EQ(k(kClose, w), 0);
    EXPECT_EQ(readAll(r), "<-11>"); // descriptor 1 still holds the write end
    EXPECT_EQ(k(kClose, 1), 0);
    EXPECT_EQ(readAll(r), "");
    EXPECT_EQ(k(kDup, 0), 1); // the lowest free descriptor
    EXPECT_EQ(k(kClose, r), 0);
    ASSERT_EQ(k(kPipe, fds), 0);
    EXPECT_EQ(k(kClose, g.read32(fds)), 0);
    EXPECT_EQ(k(kWrite, g.read32(fds + 4), s("x"), 1), -32);
}

TEST_F(KernelCalls, DescriptorNumbersAreChecked)
{
    const uint32_t text = s("x");
    EXPECT_EQ(k(kWrite, 64, text, 1), kEBADF);
    EXPECT_EQ(k(kWrite, 0xFFFFFFFF, text, 1), kEBADF);
    EXPECT_EQ(k(kWrite, 0, text, 1), kEBADF); // console input is not writable
    EXPECT_EQ(k(kClose, 7), kEBADF);
    EXPECT_EQ(k(kDup2, 1, 64), kEBADF);
    EXPECT_EQ(k(kLseek, 1, 0, 0), -29);
    EXPECT_EQ(k(kClose, 1), 0);
    EXPECT_EQ(k(kWrite, 1, text, 1), kEBADF);
    EXPECT_EQ(k(kWrite, 2, text, 1), 1); // errors still reach the console
    EXPECT_EQ(g.console(), "");
}

TEST_F(KernelCalls, KeysComeFromStandardInputAndSleepsSleep)
{
    g.setStdin("A\xff");
    EXPECT_EQ(k(kGetKey), 'A');
    EXPECT_EQ(k(kGetKey), 0xff);
    EXPECT_EQ(k(kGetKey), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(k(kUsleep, 30000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST_F(KernelCalls, CallsWithoutAMeaningHereAnswerENOSYS)
{
    for (uint32_t nr : {0u, 7u, 125u, 128u, 129u, 130u, 131u, 132u, 999u, 0xFFFFFFFFu})
        EXPECT_EQ(k(nr, s("/x"), 1, 2), -38) << nr;
}

TEST_F(KernelCalls, BadPointersGiveEFAULTAndChangeNothing)
{
    g.setStdin("abcd");
    const uint32_t unmapped = 0x10;
    const uint32_t code = g.sym("probe_add");
    const uint32_t edge = g.allocAtGuard(4);
    const uint32_t unterminated = g.allocAtGuard(3);
    g.write(unterminated, "abc");
    const uint32_t h = static_cast<uint32_t>(k(kStreamBegin, s("/stream")));
    const std::vector<std::pair<const char *, std::function<int32_t()>>> calls = {
        {"write from unmapped", [&] { return k(kWrite, 1, unmapped, 4); }},
        {"write across the guard", [&] { return k(kWrite, 1, edge, 8); }},
        {"write of a clamped length", [&] { return k(kWrite, 1, s("x"), 0x7FFFFFFF); }},
        {"read into unmapped", [&] { return k(kRead, 0, unmapped, 4); }},
        {"read into code", [&] { return k(kRead, 0, code, 4); }},
        {"open unmapped path", [&] { return k(kOpen, unmapped, 0); }},
        {"open unterminated path", [&] { return k(kOpen, unterminated, 0); }},
        {"writefile from unmapped", [&] { return k(kWriteFile, s("/f"), unmapped, 4); }},
        {"getcwd into unmapped", [&] { return k(kGetCwd, unmapped, 100); }},
        {"getcwd into code", [&] { return k(kGetCwd, code, 100); }},
        {"pipe into unmapped", [&] { return k(kPipe, unmapped); }},
        {"pipe into code", [&] { return k(kPipe, code); }},
        {"stream write from unmapped", [&] { return k(kStreamWrite, h, unmapped, 4); }},
        {"mkdir unmapped", [&] { return k(kMkdir, unmapped); }},
        {"chdir unterminated", [&] { return k(kChdir, unterminated); }},
        {"set_background unmapped", [&] { return k(kSetBackground, unmapped); }},
    };
    for (const auto &[name, call] : calls)
        EXPECT_EQ(call(), kEFAULT) << name;
    EXPECT_EQ(k(kStreamEnd, h), 0);
    EXPECT_EQ(listing(root), std::set<std::string>{"stream"}); // no "/f", no temporaries
    EXPECT_EQ(hostRead(root / "stream"), "");
    EXPECT_EQ(k(kDup, 1), 3); // the failed pipes took no descriptor
    EXPECT_EQ(readAll(0), "abcd"); // the failed reads consumed no input
    EXPECT_EQ(g.console(), "");
}

TEST_F(KernelCalls, AFullDescriptorTableIsAClearErrorAndLeaksNoHostDescriptor)
{
    std::ofstream(root / "f") << "x";
    const size_t before = openHostDescriptors();
    int opened = 0, last = 0;
    while ((last = k(kOpen, s("/f"), 0)) >= 0 && opened < 100)
        ++opened;
    EXPECT_EQ(opened, 64 - 3);
    EXPECT_EQ(last, -24);
    EXPECT_EQ(k(kOpen, s("/new"), kWriteOnly | kCreate), -24);
    EXPECT_FALSE(fs::exists(root / "new"));
    EXPECT_EQ(k(kPipe, g.alloc(8)), -24);
    EXPECT_EQ(k(kDup, 1), -24);
    EXPECT_EQ(openHostDescriptors(), before + 61);
    g.reset();
    EXPECT_EQ(openHostDescriptors(), before);
}

// Nothing a guest names leads out of the root: not "..", not an absolute
// path, not a symlink, whatever the call.
class RootConfinement : public KernelCalls {
protected:
    fs::path base, outside;

    void SetUp() override
    {
        base = fs::path(g.rootDir()) / "base";
        outside = base / "outside";
        fs::create_directories(base / "root");
        fs::create_directories(outside);
        std::ofstream(outside / "secret.txt") << "secret";
        std::ofstream(base / "root" / "inside.txt") << "inside";
        fs::create_directory_symlink(outside, base / "root" / "abs");
        fs::create_directory_symlink("../outside", base / "root" / "rel");
        fs::create_directory_symlink("../../../../../..", base / "root" / "up");
        fs::create_symlink("../outside/secret.txt", base / "root" / "file_link");
        g.setRoot((base / "root").string());
    }

    void expectOutsideUntouched()
    {
        EXPECT_EQ(listing(outside), std::set<std::string>{"secret.txt"});
        EXPECT_EQ(hostRead(outside / "secret.txt"), "secret");
    }
};

TEST_F(RootConfinement, EscapesFailForEveryPathCall)
{
    ASSERT_GE(k(kOpen, s("inside.txt"), 0), 0);
    ASSERT_EQ(k(kSetBackground, s("/inside.txt")), 0);
    const std::string hostPath = (outside / "secret.txt").string();
    for (const std::string &path : {std::string("../outside/secret.txt"), std::string("/../../outside/secret.txt"),
                                    std::string("abs/secret.txt"), std::string("rel/secret.txt"),
                                    std::string("up/outside/secret.txt"), hostPath}) {
        EXPECT_EQ(k(kOpen, s(path), 0), kENOENT) << path;
        EXPECT_EQ(k(kSetBackground, s(path)), kENOENT) << path;
        EXPECT_LT(k(kOpen, s(path), kWriteOnly | kTruncate), 0) << path;
        EXPECT_LT(writeFile(path, "pwned"), 0) << path;
        EXPECT_LT(k(kMkdir, s(path + "_dir")), 0) << path;
        EXPECT_LT(k(kUnlink, s(path)), 0) << path;
        EXPECT_LT(k(kStreamBegin, s(path)), 0) << path;
        EXPECT_LT(k(kChdir, s(path + "/..")), 0) << path;
        EXPECT_LT(writeFile(path.substr(0, path.rfind('/')) + "/new", "pwned"), 0) << path;
    }
    expectOutsideUntouched();
}

TEST_F(RootConfinement, ReplacingASymlinkReplacesTheLinkItself)
{
    EXPECT_GE(writeFile("/file_link", "new"), 0);
    EXPECT_FALSE(fs::is_symlink(base / "root" / "file_link"));
    EXPECT_EQ(hostRead(base / "root" / "file_link"), "new");
    EXPECT_EQ(k(kUnlink, s("/abs")), 0); // removes the link, not what it names
    expectOutsideUntouched();
}

} // namespace
} // namespace zylos::test
