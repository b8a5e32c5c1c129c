// Wall-clock and self-timed figures of programs run as host processes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zylos::bench {

// The median wall time of runs starts of argv to its end, in microseconds,
// with its output discarded. Throws std::runtime_error when a run fails.
double medianWallMicros(const std::vector<std::string> &argv, int runs);

// The fastest wall time of each command, in microseconds, over runs rounds
// in which each runs once in turn, so that a busy host slows all alike. A
// command that fails is not run again: its figure is empty and error says why.
struct Fastest {
    std::optional<double> micros;
    std::string error;
};
std::vector<Fastest> fastestWallMicros(const std::vector<std::vector<std::string>> &commands, int runs);

// Whether name is an executable in one of PATH's folders.
bool onPath(const std::string &name);

// The standard output of one run of argv; throws when it fails.
std::string captureOutput(const std::vector<std::string> &argv);

// A program's own timings, "name ticks" per line, fastest of several runs.
std::map<std::string, uint64_t> selfTimings(const std::vector<std::string> &argv, int runs);

} // namespace zylos::bench
