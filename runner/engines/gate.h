// The one way into the kernel model from a running guest, whichever engine
// runs it: the engine stops the guest at its int 0x80 and hands over the
// call's registers; the gate serves the call and says whether the guest
// goes on, so that every engine stops a guest for the same reasons.
#pragma once

#include "runner/engines/engine.h"
#include "runner/kernel/guest_memory.h"
#include "runner/kernel/task.h"

#include <cstdint>
#include <optional>

namespace zylos {

// The registers of a kernel call: its number in eax and its arguments in
// ebx, ecx and edx going in, its result in eax coming out.
struct CallRegisters {
    uint32_t eax, ebx, ecx, edx;
};

// Serves the call in regs for task, with mem as the guest's memory, then
// applies the stop policy: the guest stops once it has exited, when the run
// is ending (halted) and when the run's deadline has passed; nothing while
// it may go on. Throws what the call threw.
std::optional<Stop::Kind> serveKernelCall(Task &task, GuestMemory &mem, CallRegisters &regs);

} // namespace zylos
