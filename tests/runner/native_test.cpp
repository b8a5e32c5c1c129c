// zylos-run --native: the guest in a KVM virtual machine. What a guest can
// see matches the emulator; faults, time limits and every way around int 0x80
// end the guest; instruction counts are refused.
#include "probe.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

const std::string kProbe = programPath("probe");

RunResult on(Backend b, const std::vector<std::string> &argv, const std::string &input = "")
{
    return runProgram(withBackend(b, argv), input);
}

class Native : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string &why = backendUnavailable(Backend::Native); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(Native, GuestsSeeWhatTheEmulatorShowsThem)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{kProbe, "exit", "7"}, ""},
        {{kProbe, "exit", "300"}, ""},
        {{"--trace", kProbe, "echo", "two words", "", "-x"}, ""},
        {{"--write-chunk", "2", "--trace", kProbe, "echo", "hello"}, ""},
        {{"--inject", "write@2=-5", "--trace", kProbe, "echo", "a", "b"}, ""},
        {{"--trace", kProbe, "cat"}, std::string(100000, 'z')},
        {{"--trace", programPath("badptr")}, "abc"},
        {{"--trace", "drape", "/images/none.rei"}, ""},
        {{"--trace", "--inject", "set_background=5", "drape", "/images/zylos.rei"}, ""},
        {{"no-such-program"}, ""},
        {{"/etc/hostname"}, ""},
    };
    for (const auto &[argv, input] : cases) {
        const RunResult emulated = on(Backend::Emulated, argv, input);
        const RunResult native = on(Backend::Native, argv, input);
        const std::string what = argv[argv.size() > 2 ? 2 : 0];
        EXPECT_EQ(native.status, emulated.status) << what;
        EXPECT_EQ(native.out, emulated.out) << what;
        EXPECT_EQ(native.err, emulated.err) << what;
    }
}

TEST_F(Native, FaultsAreReportedAsUnderTheEmulatorAndTimeoutsStopTheGuest)
{
    expectFaultReports(Backend::Native);
    for (const char *what : {"spin", "sleepy"})
        expectTimedOut(withBackend(Backend::Native, {"--timeout", "0.3", kProbe, what}), what);
}

// Each way asks Linux for exit(42): had one reached the host kernel, the
// guest would have ended with 42 instead of a fault.
TEST_F(Native, NoWayButInt80ReachesTheHostKernel)
{
    for (const char *how : {"e", "y", "l", "i", "b"})
        for (const Backend b : {Backend::Emulated, Backend::Native}) {
            const RunResult r = on(b, {programPath("escape"), how});
            EXPECT_EQ(r.status, 139) << how << " " << backendName(b) << ": " << r.err;
            EXPECT_EQ(r.err.rfind("zylos-run: guest fault: ", 0), 0u) << how << " " << backendName(b) << ": " << r.err;
        }
}

TEST(NativeOptions, InstructionCountsAndLimitsAreRefused)
{
    for (const char *option : {"--count", "--max-insns=1000"}) {
        const RunResult r = runProgram({"--native", option, kProbe, "exit", "0"});
        EXPECT_EQ(r.status, 125) << option;
        EXPECT_NE(r.err.find("not counted with --native"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
} // namespace zylos::test
