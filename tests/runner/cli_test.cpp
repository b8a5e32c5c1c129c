// zylos-run as a command: exit statuses, arguments, standard input, the
// trace, injections, short writes, limits, counts and faults.
#include "harness/guest.h"
#include "probe.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace zylos::test {
namespace {

namespace fs = std::filesystem;

const std::string kProbe = programPath("probe");

RunResult probe(std::vector<std::string> args, std::vector<std::string> options = {}, const std::string &input = "")
{
    options.push_back(kProbe);
    options.insert(options.end(), args.begin(), args.end());
    return runProgram(options, input);
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

uint64_t countOf(const RunResult &r)
{
    std::smatch m;
    if (!std::regex_search(r.err, m, std::regex("zylos-run: ([0-9]+) instructions\n")))
        throw std::runtime_error("no instruction count in: " + r.err);
    return std::stoull(m[1]);
}

TEST(Cli, ExitStatusIsTheGuestsLowByte)
{
    for (const auto &[arg, status] : std::vector<std::pair<std::string, int>>{
             {"0", 0}, {"7", 7}, {"255", 255}, {"300", 44}, {"-1", 255}}) {
        const RunResult r = probe({"exit", arg});
        EXPECT_EQ(r.status, status) << arg;
        EXPECT_EQ(r.err, "") << arg;
    }
}

TEST(Cli, TheGuestGetsProgramAsWrittenAndEveryArgument)
{
    const RunResult r = probe({"echo", "two words", "", "-x", "--trace"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kProbe + "\ntwo words\n\n-x\n--trace\n");

    // A bare name is found in ROOT/bin and keeps its bare argv[0].
    std::string templ = (fs::temp_directory_path() / "zylos-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    const fs::path root = templ;
    fs::create_directories(root / "bin");
    fs::copy_file(kProbe, root / "bin" / "probe");
    const RunResult bare = runProgram({"--root", root.string(), "probe", "echo", "a"});
    EXPECT_EQ(bare.out, "probe\na\n");
    EXPECT_EQ(runProgram({"--root", root.string(), "missing"}).status, 127);
    EXPECT_EQ(runProgram({"--root", root.string(), "bin"}).status, 127); // not bin/bin
    fs::remove_all(root);
}

TEST(Cli, StandardInputAndOutputPassBytesUnchanged)
{
    std::string all;
    for (int round = 0; round < 300; ++round)
        for (int b = 0; b < 256; ++b)
            all.push_back(static_cast<char>(b));
    const RunResult r = probe({"cat"}, {}, all);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, all);
}

TEST(Cli, UsageErrorsAndMissingPrograms)
{
    for (const std::vector<std::string> &argv : std::vector<std::vector<std::string>>{
             {},
             {"--bogus", kProbe},
             {"--inject", "write", kProbe},
             {"--inject", "write@0=1", kProbe},
             {"--inject", "nosuchcall=1", kProbe},
             {"--inject", "write=x", kProbe},
             {"--write-chunk", "0", kProbe},
             {"--max-insns", "-3", kProbe},
             {"--max-insns", "99999999999999999999999", kProbe},
             {"--timeout", "0", kProbe},
             {"--timeout", "nan", kProbe},
             {"--root", "/no/such/folder", kProbe}}) {
        const RunResult r = runProgram(argv);
        EXPECT_EQ(r.status, 125) << (argv.empty() ? "" : argv[0]) << ": " << r.err;
        EXPECT_NE(r.err.find("zylos-run: "), std::string::npos);
    }
    EXPECT_EQ(runProgram({"/no/such/program"}).status, 127);
    EXPECT_EQ(runProgram({"no-such-command"}).status, 127);
    EXPECT_EQ(runProgram({"/"}).status, 126);
}

TEST(Cli, HelpListsTheCallsThatAnswerENOSYS)
{
    const RunResult r = runProgram({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *call : {"mkfifo (125)", "fd_set_inherit (128)", "spawn (131)", "waitpid (132)"})
        EXPECT_NE(r.out.find(call), std::string::npos) << call;
}

TEST(Cli, TraceShowsOneLinePerCallAndExitLast)
{
    const RunResult r = probe({"echo", "hi"}, {"--trace"});
    EXPECT_EQ(r.out, kProbe + "\nhi\n");
    const std::string n = std::to_string(kProbe.size());
    EXPECT_EQ(lines(r.err), (std::vector<std::string>{
                                "write(1, \"" + kProbe + "\", " + n + ") = " + n,
                                R"(write(1, "\n", 1) = 1)",
                                R"(write(1, "hi", 2) = 2)",
                                R"(write(1, "\n", 1) = 1)",
                                "exit(0)",
                            }));
}

TEST(Cli, InjectionsReplaceTheChosenCalls)
{
    const RunResult second = probe({"echo", "a", "b"}, {"--trace", "--inject", "write@3=-5"});
    EXPECT_EQ(second.out, kProbe + "\n\nb\n"); // "a" was refused
    EXPECT_EQ(lines(second.err).at(2), R"(write(1, "a", 1) = -5 (injected))");
    EXPECT_EQ(second.status, 0);

    const RunResult every = probe({"echo", "a"}, {"--trace", "--inject", "write=0"});
    EXPECT_EQ(every.out, "");
    EXPECT_EQ(lines(every.err).size(), 5u) << every.err; // four refused writes and exit
    EXPECT_EQ(every.status, 0);
}

TEST(Cli, WriteChunkMakesShortWrites)
{
    const RunResult r = probe({"echo", "hello"}, {"--trace", "--write-chunk", "2"});
    EXPECT_EQ(r.out, kProbe + "\nhello\n");
    const std::vector<std::string> l = lines(r.err);
    for (const char *expected : {R"(write(1, "hello", 5) = 2)", R"(write(1, "llo", 3) = 2)", R"(write(1, "o", 1) = 1)"})
        EXPECT_NE(std::find(l.begin(), l.end(), expected), l.end()) << expected;
}

TEST(Cli, InstructionCountsAreExactAndRepeatable)
{
    const uint64_t once = countOf(probe({"exit", "0"}, {"--count"}));
    EXPECT_EQ(countOf(probe({"exit", "0"}, {"--count"})), once);
    // Each iteration of a rep-prefixed instruction counts as one.
    const uint64_t thousand = countOf(probe({"rep", "1000"}, {"--count"}));
    EXPECT_EQ(countOf(probe({"rep", "3000"}, {"--count"})), thousand + 2000);

    // A budget of exactly the instructions needed is enough; one less is not.
    const std::string exact = std::to_string(once);
    EXPECT_EQ(probe({"exit", "0"}, {"--max-insns", exact}).status, 0);
    const RunResult short1 = probe({"exit", "0"}, {"--max-insns", std::to_string(once - 1)});
    EXPECT_EQ(short1.status, 124);
}

TEST(Cli, LimitsStopARunawayGuest)
{
    const RunResult insns = probe({"spin"}, {"--max-insns", "1000000"});
    EXPECT_EQ(insns.status, 124);
    EXPECT_EQ(insns.err, "zylos-run: stopped after 1000000 instructions (--max-insns)\n");

    for (const char *what : {"spin", "sleepy"}) {
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = probe({what}, {"--timeout", "0.3"});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.status, 124) << what;
        EXPECT_EQ(r.err, "zylos-run: stopped after 0.3 seconds (--timeout)\n") << what;
        EXPECT_GE(took, std::chrono::milliseconds(300)) << what;
        EXPECT_LT(took, std::chrono::seconds(3)) << what;
    }
}

TEST(Cli, FaultsReportWhatWhereAndTheInstruction)
{
    expectFaultReports(Backend::Emulated,
                       {
                           {'r', "read of unmapped address 0x00000010", "fault"},
                           {'w', "write to read-only address", "fault"},
                           {'x', "execution of non-executable address " + hex8(probeSymbols().at("data_area")),
                            "data_area"},
                           {'h', "privileged instruction (hlt)", "fault"},
                           {'o', "privileged instruction (out)", "fault"},
                           {'d', "divide error", "fault"},
                           {'u', "invalid instruction", "fault"},
                           {'s', "write to unmapped address 0xbfeff", "recurse"},
                       });
}

} // namespace
} // namespace zylos::test
