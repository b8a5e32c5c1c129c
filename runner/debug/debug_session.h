// A run of a loaded machine under gdb: the stub's target is the machine, and
// the run's limits and kernel are those of a normal run.
#pragma once

#include "runner/engines/unicorn.h"

#include <optional>

namespace zylos {

// Serves one gdb connection on listenFd, the guest stopped before its first
// instruction at entry. Returns the stop that ended the run (after a detach
// the guest runs on to its end), or nullopt when the debugger killed the
// guest or went away.
std::optional<Stop> runUnderGdb(UnicornEngine &m, Task &task, const RunLimits &limits, uint32_t entry, int listenFd);

} // namespace zylos
