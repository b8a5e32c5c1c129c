// Processes on both backends: spawn and waitpid, descriptors handed to a
// child, pipes and named pipes between processes, the end of a run, and sh
// running a pipeline. The guest side of each case is in tests/programs/procs.c.
#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;

struct Row {
    const char *name;
    std::vector<std::string> argv; // after the options; procs and sh are in the root's /bin
    std::string input;
    int status;
    std::string out;
    std::string err = ""; // a pattern searched for in standard error; empty: nothing there
};

// clang-format off
const Row kRows[] = {
    // id, no hang, any child, collected once, unknown pid, next id, a low 8 bits status
    {"wait", {"procs", "wait"}, "", 0, "2 0 2:7 -10 -10 3 3:-1\n"},
    // missing, not an executable, bad path, bad args, too long, stdio naming a closed descriptor; then
    // a child's status, and one started with no arguments
    {"spawn_errors", {"procs", "errors"}, "", 0, "-2 -8 -14 -14 -7 -9 4 100\n"},
    {"sixteen_alive", {"procs", "limit"}, "", 0, "15 -11 15 ok\n"},
    {"stdio", {"procs", "stdio"}, "", 0, "out:ping|err|0\n"},
    {"inherit", {"procs", "inherit"}, "", 0, "9 0 hi\n"},
    // all bytes, none wrong, status; then some bytes, and the writer's -32 once no reader is left
    {"stream", {"procs", "stream"}, "", 0, "200000 0 0 1 32\n"},
    {"fifo", {"procs", "fifo"}, "", 0, "0 -17 -17 abfo 4 0 0 4\n"},
    {"faulting_child", {"procs", "fault"}, "", 0, "139 6\n", "guest fault: read of unmapped address 0x00000010"},
    {"first_exits", {"procs", "orphan"}, "", 5, ""},
    // the wait case again: lines are prefixed once a second process exists
    {"trace", {"--trace", "procs", "wait"}, "", 0, "2 0 2:7 -10 -10 3 3:-1\n",
     R"(^pipe\(0x[0-9a-f]{8}\) = 0\n(.*\n)*\[3\] exit\(300\)\n(.*\n)*\[1\] waitpid\(3, 0x0{8}, 0\) = 3\n(.*\n)*\[1\] exit\(0\)\n$)"},
    {"sh_pipeline", {"sh"}, "hello | wc -\n", 0, "1 2 14 -\n"},
    {"sh_not_found", {"sh"}, "nosuch a\nexit\n", 127, "", "^sh: nosuch: not found\n$"},
};
// clang-format on

class Processes : public ::testing::TestWithParam<std::tuple<Row, Backend>> {};

TEST_P(Processes, RunAsDesigned)
{
    const auto &[row, backend] = GetParam();
    if (const std::string &why = backendUnavailable(backend); !why.empty())
        GTEST_SKIP() << why;
    // The shipped /bin with procs beside it, in a root guests may change.
    TempDir root{"zylos-procs"};
    fs::copy(fs::path(ZYLOS_ROOT_DIR) / "bin", root / "bin");
    fs::copy_file(programPath("procs"), root / "bin/procs");
    // Only a guard against a hang: where KVM emulates each guest instruction,
    // the stream row alone takes 17 s on an idle host.
    std::vector<std::string> argv = {"--timeout", "180", "--root", root.str()};
    argv.insert(argv.end(), row.argv.begin(), row.argv.end());
    const RunResult r = runProgram(withBackend(backend, argv), row.input);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(row.err.empty() ? "^$" : row.err))) << r.err;
    // Named pipes live in the run only.
    EXPECT_EQ(std::distance(fs::directory_iterator(root.path()), {}), 1) << "beside /bin";
}

INSTANTIATE_TEST_SUITE_P(Cases, Processes,
                         ::testing::Combine(::testing::ValuesIn(kRows),
                                            ::testing::Values(Backend::Emulated, Backend::Native)),
                         [](const ::testing::TestParamInfo<std::tuple<Row, Backend>> &info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    backendName(std::get<1>(info.param));
                         });

} // namespace
} // namespace zylos::test
