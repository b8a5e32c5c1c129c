// copyfile, a whole program on the stream layer: it reads a file byte by byte
// and writes the copy through a whole-file stream.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;

class StdioProgram : public ::testing::Test {
protected:
    fs::path root;

    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "zylos-copyfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root = templ;
    }
    void TearDown() override { fs::remove_all(root); }

    RunResult copyfile(const std::string &from, const std::string &to)
    {
        return runProgram({"--root", root.string(), programPath("copyfile"), from, to});
    }
};

TEST_F(StdioProgram, CopiesEveryByteValue)
{
    std::string bytes;
    for (int i = 0; i < 768; ++i)
        bytes.push_back(static_cast<char>(i));
    std::ofstream(root / "in.bin", std::ios::binary) << bytes;

    RunResult r = copyfile("/in.bin", "/out.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "copied 768 bytes from /in.bin to /out.bin\n");
    std::ifstream out(root / "out.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(out), {}), bytes);

    std::ofstream(root / "empty", std::ios::binary);
    r = copyfile("/empty", "/copy");
    EXPECT_EQ(r.out, "copied 0 bytes from /empty to /copy\n");
    EXPECT_TRUE(fs::exists(root / "copy"));
}

TEST_F(StdioProgram, ReportsFailures)
{
    RunResult missing = copyfile("/nothing", "/out");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "copyfile: cannot open /nothing\n");
    EXPECT_FALSE(fs::exists(root / "out"));

    std::ofstream(root / "in.txt") << "text";
    RunResult refused = copyfile("/in.txt", "/no/dir/out");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "copyfile: cannot write /no/dir/out\n");
}

} // namespace
} // namespace zylos::test
