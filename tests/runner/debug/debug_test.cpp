// Debugging and profiling guests: a gdb session against --gdb, the folded
// profile of --profile, and the backtrace under a fault line.
#include "runner/hostile_image.h"
#include "runner/probe.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

namespace zylos::test {
namespace {

const std::string kDebuggee = programPath("debuggee");

// A port that was free a moment ago.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(addr.sin_port);
}

// What a shell command line prints.
std::string shell(const std::string &command) { return runCommand({"/bin/sh", "-c", command}).out; }

TEST(Debug, GdbBreaksReadsArgumentsUnwindsFinishesAndSeesTheExit)
{
    if (shell("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed (scripts/setup installs it)";
    const std::string port = std::to_string(freePort());
    RunResult run{};
    std::thread runner([&] { run = runProgram({"--gdb", port, kDebuggee}); });
    // gdb retries a refused connection while the runner starts listening.
    std::string script;
    for (const char *command : {"target remote 127.0.0.1:", "break scale", "continue", "info args", "bt", "finish",
                                "break vfprintf", "continue", "bt", "delete", "continue"})
        script += std::string(" -ex '") + command + (command[0] == 't' ? port : "") + "'";
    const std::string session = shell("timeout 60 gdb -nx -batch" + script + " " + kDebuggee + " 2>&1");
    runner.join();
    for (const char *expected :
         {"Breakpoint 1, scale (value=5, factor=6) at ", "\nvalue = 5\nfactor = 6\n", "\n#0  scale (value=5, factor=6)",
          "\n#1  0x", " in main (", "Value returned is $1 = 31\n", "\n#0  vfprintf ", "\n#1  0x", " in printf ",
          "\n#2  0x", "[Inferior 1 (Remote target) exited with code 037]"})
        EXPECT_NE(session.find(expected), std::string::npos) << expected << "\n" << session;
    EXPECT_EQ(run.status, 31) << run.err;
    EXPECT_EQ(run.out, "31\n");
}

// A debugger on port that sends bytes and holds the connection until the
// runner closes it; it retries while the runner starts listening.
void holdConnection(const std::string &port, const std::string &bytes)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int tries = 0; tries < 1000; ++tries) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            for (char b = 0; recv(fd, &b, 1, 0) > 0;) {
            }
            close(fd);
            return;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// --timeout counts the time spent waiting for the debugger: for it to come,
// and for its next packet, however much of it has arrived.
TEST(Debug, TheDeadlineEndsARunWaitingForTheDebugger)
{
    const struct {
        const char *name;
        std::optional<std::string> sends; // nothing: no debugger comes
    } rows[] = {{"no debugger", std::nullopt}, {"a silent one", ""}, {"one stopping mid-packet", "+$qSupported:xml"}};
    for (const auto &row : rows) {
        const std::string port = std::to_string(freePort());
        std::thread debugger([&] {
            if (row.sends)
                holdConnection(port, *row.sends);
        });
        const RunResult run = runProgram({"--gdb", port, "--timeout", "1", kDebuggee});
        debugger.join();
        EXPECT_EQ(run.status, 124) << row.name;
        EXPECT_EQ(run.err, "zylos-run: waiting for gdb on 127.0.0.1:" + port +
                               "\nzylos-run: stopped after 1 seconds (--timeout)\n")
            << row.name;
    }
}

// Code that ran before gdb rewrote it runs as rewritten when the guest goes
// on: nothing translated from the old code outlives the write.
TEST(Debug, CodeThatGdbRewritesRunsAsRewritten)
{
    if (shell("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed (scripts/setup installs it)";
    const TempDir dir{"zylos-rewrite"};
    uint32_t secondCall = 0;
    const HostileImage image = rewrittenCode([&](HostileImage &i) { secondCall = i.entry() + i.label(); });
    const std::string path = image.save(dir / "rewritten"), port = std::to_string(freePort());
    RunResult run{};
    std::thread runner([&] { run = runProgram({"--gdb", port, path}); });
    int rewritten = 0;
    std::memcpy(&rewritten, kRewrittenCode.data(), 4);
    shell("timeout 60 gdb -nx -batch -ex 'set architecture i386' -ex 'target remote 127.0.0.1:" + port +
          "' -ex 'break *" + std::to_string(secondCall) + "' -ex continue -ex 'set {int}" +
          std::to_string(HostileImage::kBss) + " = " + std::to_string(rewritten) + "' -ex continue 2>&1");
    runner.join();
    EXPECT_EQ(run.status, 13) << run.err;
}

TEST(Debug, TheProfileOfDrapesFailureFoldsStacksThroughVfprintfAndSumsToTheCount)
{
    const TempDir dir{"zylos-profile"};
    std::string first;
    for (const char *name : {"a", "b"}) {
        const RunResult r = runProgram({"--count", "--profile", (dir / name).string(), "--inject", "set_background=-1",
                                        ZYLOS_DRAPE_PATH, "/images/zylos.rei"});
        ASSERT_EQ(r.status, 1) << r.err;
        const std::string folded = readFile(dir / name);
        uint64_t sum = 0;
        bool throughVfprintf = false;
        std::istringstream lines(folded);
        for (std::string stack; lines >> stack;) {
            uint64_t n = 0;
            lines >> n;
            sum += n;
            throughVfprintf |= stack.rfind("_start;main;", 0) == 0 && stack.find(";vfprintf") != std::string::npos;
        }
        EXPECT_TRUE(throughVfprintf) << folded;
        EXPECT_EQ(sum, countOf(r)) << folded;
        EXPECT_NE(r.err.find("%  vfprintf\n"), std::string::npos) << r.err; // the flat summary
        if (first.empty())
            first = folded;
        else
            EXPECT_EQ(folded, first); // deterministic
    }
    EXPECT_EQ(runProgram({"--native", "--profile", (dir / "c").string(), kDebuggee}).status, 125);
    // A folder cannot take the file: refused before the guest runs.
    const RunResult intoFolder = runProgram({"--profile", dir.path().string(), kDebuggee});
    EXPECT_EQ(intoFolder.status, 125);
    EXPECT_EQ(intoFolder.err, "zylos-run: --profile " + dir.path().string() + ": Is a directory\n");
    EXPECT_EQ(intoFolder.out, "");
}

// Recursion deeper than a profile keeps is charged to one frame that says
// where the stack was cut, so the file stays small however deep the guest
// goes; names from the image reach the fault report, the summary and the
// folded file escaped, never as a forged line or a terminal control, and
// cut to 1 KiB.
TEST(Debug, DeepStacksAreCutAndImageNamesEscaped)
{
    const TempDir dir{"zylos-profile"};
    const RunResult deep = runProgram({"--count", "--profile", (dir / "deep").string(), kDebuggee, "deep", "3000"});
    ASSERT_EQ(deep.status, 0) << deep.err;
    const std::string folded = readFile(dir / "deep");
    std::string cut = "_start;main";
    for (int depth = 3; depth <= 512; ++depth)
        cut += ";descend";
    cut += ";[cut: deeper than 512 frames] ";
    EXPECT_NE(folded.find("\n" + cut), std::string::npos) << folded.substr(0, 200);
    EXPECT_LT(folded.size(), 2u << 20);
    uint64_t sum = 0;
    for (const std::string &line : lines(folded))
        sum += std::stoull(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(sum, countOf(deep));

    // strlen renamed "\nX\e[1m" (the same length), then made to fault.
    const std::vector<uint8_t> image =
        replaced(readBytes(kDebuggee), std::string("\0strlen\0", 8), std::string("\0\nX\x1b[1m\0", 8));
    writeFile(dir / "forged", {reinterpret_cast<const char *>(image.data()), image.size()});
    const RunResult r = runProgram({"--profile", (dir / "forged.folded").string(), (dir / "forged").string(), "fault"});
    EXPECT_EQ(r.status, 139);
    const std::string shown = readFile(dir / "forged.folded") + r.err;
    EXPECT_NE(r.err.find("(\\nX\\e[1m+0x"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("%  \\nX\\e[1m\n"), std::string::npos) << r.err;
    EXPECT_NE(shown.find(";\\nX\\e[1m "), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    for (const std::string &line : lines(shown))
        EXPECT_FALSE(line.starts_with("X")) << line;

    // A name of 1100 bytes is shown cut to 1 KiB.
    const RunResult named = runProgram({"--profile", (dir / "long").string(), kDebuggee, "long"});
    const std::string cutName = std::string(1021, 'n') + "...";
    EXPECT_NE(readFile(dir / "long").find(";" + cutName + " "), std::string::npos);
    EXPECT_NE(named.err.find("%  " + cutName + "\n"), std::string::npos) << named.err;
}

// The library keeps no frame pointer; its frame information leads back
// through strlen to main and _start. Both backends report it alike.
TEST(Debug, AFaultNamesItsFunctionAndUnwindsThroughTheLibraryOnBothBackends)
{
    const RunResult emulated = runProgram({kDebuggee, "fault"});
    EXPECT_EQ(emulated.status, 139);
    EXPECT_TRUE(
        std::regex_match(emulated.err, std::regex("zylos-run: guest fault: read of unmapped address 0x40000000 at eip "
                                                  "0x([0-9a-f]{8}) \\(strlen\\+0x[0-9a-f]+\\)\n"
                                                  "  #0 0x\\1 strlen\\+0x[0-9a-f]+\n"
                                                  "  #1 0x[0-9a-f]{8} main\\+0x[0-9a-f]+\n"
                                                  "  #2 0x[0-9a-f]{8} _start\\+0x[0-9a-f]+\n")))
        << emulated.err;
    if (!backendUnavailable(Backend::Native).empty())
        GTEST_SKIP() << backendUnavailable(Backend::Native);
    const RunResult native = runProgram({"--native", kDebuggee, "fault"});
    EXPECT_EQ(native.status, 139);
    EXPECT_EQ(native.err, emulated.err);
}

} // namespace
} // namespace zylos::test
