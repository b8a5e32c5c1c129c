// The test harness: single functions of a zylos image called in place
// (image_calls.h), whole programs run through zylos-run, and a fixture that
// runs a test on each backend.
#pragma once

#include "hostlib/command.h"
#include "image_calls/image_calls.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zylos::test {

// The process-wide instance of the build's drape executable, reset.
Guest &drapeGuest();

// Runs zylos-run with these arguments (options, PROGRAM, its arguments) and
// stdinBytes as its standard input.
RunResult runProgram(std::vector<std::string> argv, const std::string &stdinBytes = "");

// How zylos-run executes the guest: emulated, or in a KVM virtual machine.
enum class Backend { Emulated, Native };
std::string backendName(Backend b);
// argv with the option that selects b in front.
std::vector<std::string> withBackend(Backend b, std::vector<std::string> argv);
// Why this host cannot run guests on b (zylos-run's own message), or "" when
// it can. Whole-program tests skip with it.
const std::string &backendUnavailable(Backend b);

// Why guests on b cannot use the x87 (zylos-run's report of the probe's
// x87 instruction), or "" when they can. Some hosts' KVM has no x87.
const std::string &withoutX87(Backend b);

// A whole-program test run once per backend (GetParam()), skipped where the
// host cannot run that backend.
class EachBackend : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        if (const std::string &why = backendUnavailable(GetParam()); !why.empty())
            GTEST_SKIP() << why;
    }
    RunResult run(const std::vector<std::string> &argv, const std::string &input = "") const
    {
        return runProgram(withBackend(GetParam(), argv), input);
    }
};
#define ZYLOS_ON_EACH_BACKEND(suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::Values(Backend::Emulated, Backend::Native),                   \
                             [](const ::testing::TestParamInfo<Backend> &i) { return backendName(i.param); })

// The path of a guest test program built from tests/programs/NAME.c.
std::string programPath(const std::string &name);

} // namespace zylos::test
