// The native backend: the guest runs as a real 32-bit process of this x86-64
// Linux host under ptrace. PTRACE_SYSEMU stops it at every system call entry
// before Linux acts on it; an int 0x80 is served by the kernel model (guest
// memory through process_vm_readv/writev) and its result written back, and
// any other way into the host kernel, or any signal, ends the guest as a
// fault. No system call of the guest is ever executed by Linux.
#pragma once

#include "kernel.h"
#include "machine.h"

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zylos {

// The host cannot run the guest natively (no 32-bit support, no ptrace);
// what() says why.
struct NativeUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs the executable in file (already checked as a zylos executable) with
// this argument vector and no environment until it exits, faults or passes
// the deadline. Throws NativeUnavailable, or std::runtime_error when the
// process cannot be started or traced.
Stop runNative(std::span<const uint8_t> file, const std::vector<std::string> &argv, Kernel &kernel,
               std::optional<Kernel::Clock::time_point> deadline);

} // namespace zylos
