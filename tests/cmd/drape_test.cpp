// drape end to end in the runner: console bytes, exit status and the kernel
// calls it makes.
#include "harness/guest.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zylos::test {
namespace {

const std::string kUsage = "Usage: drape <rei_file>\n";
const std::string kMissing = "drape: missing image path\n" + kUsage;

std::string failure_line(const std::string &path) { return "drape: failed to set background from: " + path + "\n"; }

std::size_t count_calls(const std::string &err, const std::string &name)
{
    const auto all = lines(err);
    return std::count_if(all.begin(), all.end(), [&](const std::string &l) { return l.rfind(name + "(", 0) == 0; });
}

RunResult drape(std::vector<std::string> args, std::vector<std::string> options = {})
{
    std::vector<std::string> argv = {"--trace"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("drape");
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

struct Row {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> options;
    std::string out;
    int status;
    std::size_t background_requests;
};

class DrapeTable : public ::testing::TestWithParam<std::tuple<Row, Backend>> {};

TEST_P(DrapeTable, PrintsAndExitsAsDocumented)
{
    const auto &[row, backend] = GetParam();
    if (const std::string &why = backendUnavailable(backend); !why.empty())
        GTEST_SKIP() << why;
    const RunResult r = drape(row.args, withBackend(backend, row.options));
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(count_calls(r.err, "set_background"), row.background_requests) << r.err;
    ASSERT_FALSE(lines(r.err).empty());
    EXPECT_EQ(lines(r.err).back(), "exit(" + std::to_string(row.status) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Invocations, DrapeTable,
    // clang-format off
    ::testing::Combine(::testing::Values(
        Row{"accepted", {"/images/zylos.rei"}, {}, "", 0, 1},
        Row{"accepted_extra_args_ignored", {"/images/zylos.rei", "more", "-h"}, {}, "", 0, 1},
        Row{"missing_file_refused", {"/images/none.rei"}, {}, failure_line("/images/none.rei"), 1, 1},
        Row{"refused_minus_one", {"/images/zylos.rei"}, {"--inject", "set_background=-1"},
            failure_line("/images/zylos.rei"), 1, 1},
        Row{"refused_positive", {"/images/zylos.rei"}, {"--inject", "set_background=5"},
            failure_line("/images/zylos.rei"), 1, 1},
        Row{"help", {"-h"}, {}, kUsage, 0, 0},
        Row{"help_with_extra", {"-h", "extra"}, {}, kUsage, 0, 0},
        Row{"long_help_is_a_path", {"--help"}, {}, failure_line("--help"), 1, 1},
        Row{"dash_help_is_a_path", {"-help"}, {}, failure_line("-help"), 1, 1},
        Row{"capital_h_is_a_path", {"-H"}, {}, failure_line("-H"), 1, 1},
        Row{"no_argument", {}, {}, kMissing, 1, 0},
        Row{"empty_argument", {""}, {}, kMissing, 1, 0},
        Row{"empty_argument_then_path", {"", "/images/zylos.rei"}, {}, kMissing, 1, 0}),
                       ::testing::Values(Backend::Emulated, Backend::Native)),
    // clang-format on
    [](const ::testing::TestParamInfo<std::tuple<Row, Backend>> &info) {
        return std::string(std::get<0>(info.param).name) + "_" + backendName(std::get<1>(info.param));
    });

TEST(Drape, FailureLineIsOneWritePerLiteralByteAndOneForThePath)
{
    const std::string path = "/images/none.rei";
    const RunResult r = drape({path});
    ASSERT_EQ(r.out, failure_line(path));
    // 38 literal bytes before %s, the path in one request, then the newline.
    EXPECT_EQ(count_calls(r.err, "write"), 38u + 1u + 1u) << r.err;
}

TEST(Drape, UsageLineIsTwoWrites)
{
    const RunResult r = drape({"-h"});
    EXPECT_EQ(count_calls(r.err, "write"), 2u) << r.err;
}

TEST(Drape, OutputFailuresDoNotChangeTheStatus)
{
    const RunResult r = drape({"-h"}, {"--inject", "write=-5"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Drape, NullFirstArgumentIsAMissingPath)
{
    Guest &g = drapeGuest();
    const uint32_t argv = g.alloc(12);
    g.write32(argv, g.str("drape"));
    g.write32(argv + 4, 0);
    g.write32(argv + 8, 0);
    EXPECT_EQ(g.call("main", {2, argv}), 1u);
    EXPECT_EQ(g.console(), kMissing);
}

TEST(Drape, PassesThePathUnchangedToTheKernel)
{
    Guest &g = drapeGuest();
    const std::string path = "relative/../odd path.rei";
    const uint32_t argv = g.alloc(12);
    const uint32_t arg1 = g.str(path);
    g.write32(argv, g.str("drape"));
    g.write32(argv + 4, arg1);
    g.write32(argv + 8, 0);
    g.inject("set_background", 0, 0);
    EXPECT_EQ(g.call("main", {2, argv}), 0u);
    const auto &calls = g.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].nr, uint32_t{SYS_SET_BACKGROUND});
    EXPECT_EQ(calls[0].args[0], arg1);
    EXPECT_EQ(g.console(), "");
}

} // namespace
} // namespace zylos::test
