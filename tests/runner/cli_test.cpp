// zylos-run as a command: exit statuses, arguments, standard input, the
// trace, injections, short writes, limits and counts, and the same under
// --native. Faults and every way around int 0x80 are in hostile_test.cpp.
#include "runner/hostile_image.h"
#include "runner/probe.h"

#include <gtest/gtest.h>

namespace zylos::test {
namespace {

const std::string kProbe = programPath("probe");

RunResult probe(std::vector<std::string> args, std::vector<std::string> options = {}, const std::string &input = "")
{
    options.push_back(kProbe);
    options.insert(options.end(), args.begin(), args.end());
    return runProgram(options, input);
}

TEST(Cli, TheGuestGetsProgramAsWrittenAndEveryArgumentAndExitsWithItsLowByte)
{
    for (const auto &[arg, status] :
         std::vector<std::pair<std::string, int>>{{"0", 0}, {"7", 7}, {"255", 255}, {"300", 44}, {"-1", 255}}) {
        const RunResult r = probe({"exit", arg});
        EXPECT_EQ(r.status, status) << arg;
        EXPECT_EQ(r.err, "") << arg;
    }
    const RunResult r = probe({"echo", "two words", "", "-x", "--trace"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kProbe + "\ntwo words\n\n-x\n--trace\n");

    // A bare name is found in ROOT/bin and keeps its bare argv[0].
    const TempDir root{"zylos-cli"};
    fs::create_directories(root / "bin");
    fs::copy_file(kProbe, root / "bin" / "probe");
    EXPECT_EQ(runProgram({"--root", root.str(), "probe", "echo", "a"}).out, "probe\na\n");
    EXPECT_EQ(runProgram({"--root", root.str(), "missing"}).status, 127);
    EXPECT_EQ(runProgram({"--root", root.str(), "bin"}).status, 127); // not bin/bin
    // Standard input and output pass every byte unchanged.
    std::string all;
    for (int i = 0; i < 300 * 256; ++i)
        all.push_back(static_cast<char>(i));
    const RunResult cat = probe({"cat"}, {}, all);
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, all);
}

TEST(Cli, UsageErrorsMissingProgramsAndHelp)
{
    // clang-format off
    for (const std::vector<std::string> &argv : std::vector<std::vector<std::string>>{
             {}, {"--bogus", kProbe}, {"--inject", "write", kProbe}, {"--inject", "write@0=1", kProbe},
             {"--inject", "nosuchcall=1", kProbe}, {"--inject", "write=x", kProbe}, {"--write-chunk", "0", kProbe},
             {"--max-insns", "-3", kProbe}, {"--max-insns", "99999999999999999999999", kProbe},
             {"--timeout", "0", kProbe}, {"--timeout", "nan", kProbe}, {"--root", "/no/such/folder", kProbe},
             {"--timeout", "", kProbe}, {"--max-insns", "", kProbe}, {"--write-chunk", "", kProbe},
             {"--inject", "", kProbe}, {"--inject=", "write=1", kProbe, "exit", "0"},
             {"--trace", "--timeout=", "5", kProbe, "exit", "0"}, {"--native", "--count", kProbe, "exit", "0"},
             {"--native", "--max-insns=1000", kProbe, "exit", "0"}}) {
        // clang-format on
        const RunResult r = runProgram(argv);
        EXPECT_EQ(r.status, 125) << (argv.empty() ? "" : argv[0]) << ": " << r.err;
        EXPECT_NE(r.err.find("zylos-run: "), std::string::npos);
    }
    EXPECT_EQ(runProgram({"/no/such/program"}).status, 127);
    EXPECT_EQ(runProgram({"no-such-command"}).status, 127);
    EXPECT_EQ(runProgram({kProbe + "/x"}).status, 127);
    EXPECT_EQ(runProgram({"/"}).status, 126);
    // Arguments may fill a quarter of the stack, no more; the refused run
    // leaves the profile's file as it was.
    const std::string third(100000, 'a');
    const TempDir dir{"zylos-cli"};
    dir.put("kept.folded", "kept");
    EXPECT_EQ(probe({"echo", third, third, third}, {"--profile", (dir / "kept.folded").string()}).status, 125);
    EXPECT_EQ(dir.get("kept.folded"), "kept");
    EXPECT_EQ(runProgram({"--help"}).status, 0);
}

// One line per call, exit last; --inject refuses the chosen calls (the Nth,
// or every one); --write-chunk makes short writes.
TEST(Cli, TraceInjectionsAndShortWrites)
{
    const RunResult r = probe({"echo", "hi"}, {"--trace"});
    EXPECT_EQ(r.out, kProbe + "\nhi\n");
    const std::string n = std::to_string(kProbe.size());
    EXPECT_EQ(lines(r.err),
              (std::vector<std::string>{"write(1, \"" + kProbe + "\", " + n + ") = " + n, R"(write(1, "\n", 1) = 1)",
                                        R"(write(1, "hi", 2) = 2)", R"(write(1, "\n", 1) = 1)", "exit(0)"}));

    const RunResult third = probe({"echo", "a", "b"}, {"--trace", "--inject", "write@3=-5"});
    EXPECT_EQ(third.out, kProbe + "\n\nb\n"); // "a" was refused
    EXPECT_EQ(lines(third.err).at(2), R"(write(1, "a", 1) = -5 (injected))");
    EXPECT_EQ(third.status, 0);
    const RunResult every = probe({"echo", "a"}, {"--trace", "--inject", "write=0"});
    EXPECT_EQ(every.out, "");
    EXPECT_EQ(lines(every.err).size(), 5u) << every.err; // four refused writes and exit

    const RunResult chunked = probe({"echo", "hello"}, {"--trace", "--write-chunk", "2"});
    EXPECT_EQ(chunked.out, kProbe + "\nhello\n");
    const std::vector<std::string> l = lines(chunked.err);
    for (const char *expected : {R"(write(1, "hello", 5) = 2)", R"(write(1, "llo", 3) = 2)", R"(write(1, "o", 1) = 1)"})
        EXPECT_NE(std::find(l.begin(), l.end(), expected), l.end()) << expected;
}

// Counts are exact and repeatable; --max-insns of exactly the count is
// enough, one less is not.
TEST(Cli, InstructionCountsAndLimits)
{
    const uint64_t once = countOf(probe({"exit", "0"}, {"--count"}));
    EXPECT_EQ(countOf(probe({"exit", "0"}, {"--count"})), once);
    // Each iteration of a rep-prefixed instruction counts as one.
    const TempDir dir{"zylos-count"};
    const auto copying = [&](uint32_t n) { // rep movsb of n bytes of the bss onto themselves
        HostileImage image;
        image.bss(n).mov(R::Ecx, n).mov(R::Esi, HostileImage::kBss).mov(R::Edi, HostileImage::kBss);
        return countOf(runProgram({"--count", image.raw({0xF3, 0xA4}).exit(0).save(dir / std::to_string(n))}));
    };
    EXPECT_EQ(copying(3000), copying(1000) + 2000);
    // A store faulting in the middle of a block: what ran up to it counts,
    // the rest of the block does not.
    const std::string faulting = HostileImage().raw({0x90, 0x90, 0xA3, 0, 0, 0, 0, 0x90}).exit(0).save(dir / "fault");
    EXPECT_EQ(countOf(runProgram({"--count", faulting})), 3u);
    // Code called, then rewritten by the guest in place and called again:
    // the new block has the old one's start and size, one instruction less.
    const auto rewriting = [&](uint8_t second, const char *name) {
        HostileImage image;
        image.executableBss()
            .raw({0xC7, 0x05, 0, 0, 0, 0x10, 0x90, 0x90, 0xC3, 0})      // at kBss: nop; nop; ret
            .raw({0xB8, 0, 0, 0, 0x10, 0xFF, 0xD0})                     // call it
            .raw({0xC7, 0x05, second, 0, 0, 0x10, 0x66, 0x90, 0xC3, 0}) // at kBss + second: xchg ax, ax; ret
            .raw({0xB8, second, 0, 0, 0x10, 0xFF, 0xD0});               // call that
        return image.exit(0).save(dir / name);
    };
    const uint64_t elsewhere = countOf(runProgram({"--count", rewriting(8, "elsewhere")}));
    const std::string inPlace = rewriting(0, "in_place");
    EXPECT_EQ(countOf(runProgram({"--count", inPlace})), elsewhere);
    EXPECT_EQ(runProgram({"--max-insns", std::to_string(elsewhere), inPlace}).status, 0);
    EXPECT_EQ(runProgram({"--max-insns", std::to_string(elsewhere - 1), inPlace}).status, 124);
    EXPECT_EQ(probe({"exit", "0"}, {"--max-insns", std::to_string(once)}).status, 0);
    EXPECT_EQ(probe({"exit", "0"}, {"--max-insns", std::to_string(once - 1)}).status, 124);
}

class Timeouts : public EachBackend {};

TEST_P(Timeouts, StopASpinningOrSleepingGuest)
{
    for (const char *what : {"spin", "sleepy"})
        expectTimedOut(run({"--timeout", "0.3", kProbe, what}), what);
}
ZYLOS_ON_EACH_BACKEND(Timeouts);

// --native: the guest in a KVM virtual machine sees what the emulator shows
// it; instruction counts are refused.
TEST(Native, GuestsSeeWhatTheEmulatorShowsThem)
{
    if (const std::string &why = backendUnavailable(Backend::Native); !why.empty())
        GTEST_SKIP() << why;
    // Buffers the kernel must refuse (-14, the guest unchanged) whatever runs
    // the guest: its own checks of guest memory, then an ordinary read.
    const TempDir dir{"zylos-native"};
    HostileImage bad;
    const uint32_t bss = HostileImage::kBss;
    bad.sys(SYS_WRITE, 1, 0x10, 4).sys(SYS_READ, 0, bad.entry(), 4).sys(SYS_READ, 0, bss, 0x7FFFFFFF);
    bad.sys(SYS_WRITE, 1, 0xFFFFFFFC, 8).sys(SYS_GETCWD, bad.entry(), 16).sys(SYS_OPEN, 0x20);
    bad.sys(SYS_READ, 0, bss, 8).sys(SYS_WRITE, 1, bss, 9).sys(SYS_GETCWD, bss, 64).exit(0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{kProbe, "exit", "7"}, ""},
        {{kProbe, "exit", "300"}, ""},
        {{"--trace", kProbe, "echo", "two words", "", "-x"}, ""},
        {{"--write-chunk", "2", "--trace", kProbe, "echo", "hello"}, ""},
        {{"--inject", "write@2=-5", "--trace", kProbe, "echo", "a", "b"}, ""},
        {{"--trace", kProbe, "cat"}, std::string(100000, 'z')},
        {{"--trace", bad.save(dir / "badptr")}, "abc"},
        {{"--trace", "drape", "/images/none.rei"}, ""},
        {{"--trace", "--inject", "set_background=5", "drape", "/images/zylos.rei"}, ""},
        {{"no-such-program"}, ""},
        {{"/etc/hostname"}, ""},
    };
    for (const auto &[argv, input] : cases) {
        const RunResult emulated = runProgram(withBackend(Backend::Emulated, argv), input);
        const RunResult native = runProgram(withBackend(Backend::Native, argv), input);
        const std::string what = argv[argv.size() > 2 ? 2 : 0];
        EXPECT_EQ(native.status, emulated.status) << what;
        EXPECT_EQ(native.out, emulated.out) << what;
        EXPECT_EQ(native.err, emulated.err) << what;
    }
}

} // namespace
} // namespace zylos::test
