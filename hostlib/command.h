// Runs a host command to its end with given input, keeping or counting its
// output: the tests run zylos-run and the tools through it, the bench times
// programs with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zylos {

struct RunResult {
    int status; // exit status, or minus the signal that ended the command
    std::string out;
    std::string err;
    uint64_t outBytes;
    long maxRssKiB;
    std::chrono::steady_clock::duration took;
};

// What becomes of standard output: kept, only counted, never read, or
// counted as it is read slowly in small pieces for a second and then no
// more (a reader that stalls).
enum class Output { Keep, Count, Ignore, Trickle };
struct RunOptions {
    std::string input; // standard input, closed after it unless holdInput
    Output output = Output::Keep;
    bool holdInput = false; // open to the end, never closed
};

// The lines of a command's output, without their newlines.
std::vector<std::string> lines(const std::string &text);

// Runs command (command[0] is the executable, looked up in PATH when it has
// no slash) and waits for it; one that runs for two minutes is killed.
RunResult runCommand(const std::vector<std::string> &command, const RunOptions &o = {});

} // namespace zylos
