// copyfile, a whole program on the stream layer: it reads a file byte by byte
// and writes the copy through a whole-file stream.
#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace zylos::test {
namespace {

class StdioProgram : public EachBackend {
protected:
    TempDir root{"zylos-copyfile"};

    RunResult copyfile(const std::string &from, const std::string &to)
    {
        return run({"--root", root.str(), programPath("copyfile"), from, to});
    }
};

TEST_P(StdioProgram, CopiesEveryByteValue)
{
    std::string bytes;
    for (int i = 0; i < 768; ++i)
        bytes.push_back(static_cast<char>(i));
    root.put("in.bin", bytes);

    RunResult r = copyfile("/in.bin", "/out.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "copied 768 bytes from /in.bin to /out.bin\n");
    EXPECT_EQ(root.get("out.bin"), bytes);

    root.put("empty", "");
    r = copyfile("/empty", "/copy");
    EXPECT_EQ(r.out, "copied 0 bytes from /empty to /copy\n");
    EXPECT_TRUE(root.exists("copy"));
}

TEST_P(StdioProgram, ReportsFailures)
{
    RunResult missing = copyfile("/nothing", "/out");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "copyfile: cannot open /nothing\n");
    EXPECT_FALSE(root.exists("out"));

    root.put("in.txt", "text");
    RunResult refused = copyfile("/in.txt", "/no/dir/out");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "copyfile: cannot write /no/dir/out\n");
}

ZYLOS_ON_EACH_BACKEND(StdioProgram);

} // namespace
} // namespace zylos::test
