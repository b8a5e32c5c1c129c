// The zylos-run command line.
#pragma once

#include "runner/kernel/injection.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zylos {

// Exit statuses of the runner itself; a guest that exits gives its own, one
// that faults kStatusFault (runner/kernel/task.h).
inline constexpr int kStatusLimit = 124;
inline constexpr int kStatusRunnerError = 125;
inline constexpr int kStatusBadImage = 126;
inline constexpr int kStatusNotFound = 127;

struct Options {
    std::string root; // empty: the default root
    bool trace = false;
    bool count = false;
    bool native = false; // run in a KVM virtual machine, not emulated
    std::vector<Injection> injections;
    size_t writeChunk = 0;
    uint64_t maxInsns = 0;
    double timeout = 0;
    uint16_t gdbPort = 0;             // 0: no debugger
    std::string profile;              // empty: no profile
    std::vector<std::string> command; // PROGRAM as written, then its arguments
};

// The options, or the status to exit with at once (0 after --help, 125 for a
// usage error, with the message already printed).
std::variant<Options, int> parseOptions(int argc, char **argv);

} // namespace zylos
