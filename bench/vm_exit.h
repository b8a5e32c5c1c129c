// The floor under a kernel call of zylos-run --native: one VM exit and
// re-entry, with nothing done in between.
#pragma once

namespace zylos::bench {

// Microseconds per exit of a vCPU that writes to an I/O port in a loop,
// over this many exits. Throws std::runtime_error without a usable KVM.
double vmExitMicros(int exits);

} // namespace zylos::bench
