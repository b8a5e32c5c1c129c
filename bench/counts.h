// Guest instructions per operation of a C library's hot routines, counted by
// the CPU emulator for calls made by symbol into an image that links the
// library (ours: drape; a peer's: an image of its libc.a behind our start-up
// stub).
#pragma once

#include "image_calls/image_calls.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zylos::bench {

struct Count {
    std::optional<double> insns; // per operation
    std::string note;            // why there is no figure: "missing memcpy", "wrong result", ...
};

struct Workload {
    std::string name;
    std::optional<double> goal; // at most this many instructions for ours
    std::vector<std::string> routines;
    double (*measure)(Guest &g); // throws WrongResult
};

struct WrongResult : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const std::vector<Workload> &workloads();

// Runs one workload on a freshly reset guest, after prepare(g).
Count countOne(Guest &g, const Workload &w, const std::function<void(Guest &)> &prepare);

// Serves a peer library's Linux calls in the guest-call harness: brk and
// mmap2 from a private arena, munmap and madvise as no-ops, anything else
// -38. A peer's image needs them for its heap.
void serveLinuxHeapCalls(Guest &g);

} // namespace zylos::bench
