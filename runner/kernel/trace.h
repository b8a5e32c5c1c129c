// One kernel call as a trace line: name(args) = result, with paths and byte
// buffers shown C-escaped and quoted.
#pragma once

#include "runner/kernel/guest_memory.h"
#include "runner/kernel/task.h"

#include <string>

namespace zylos {

// Buffers longer than this are cut and marked with "...".
inline constexpr size_t kTraceBytes = 64;

std::string formatCall(const CallRecord &call, const GuestMemory &mem);

} // namespace zylos
