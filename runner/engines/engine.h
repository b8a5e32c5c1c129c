// What every CPU backend shares: the limits a run is given and how a run
// stops (a fault reported in the words of faults.h, the same whichever
// backend executed the guest).
#pragma once

#include "runner/engines/faults.h"
#include "runner/kernel/guest_memory.h"
#include "runner/kernel/task.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace zylos {

enum class Reg { Eax, Ebx, Ecx, Edx, Esi, Edi, Ebp, Esp, Eip, Eflags };

struct RunLimits {
    uint64_t maxInsns = 0; // 0: no limit
    // Where the instructions of all processes of a run are counted; maxInsns
    // then limits that total. Null: a run counts on its own.
    std::atomic<uint64_t> *spent = nullptr;
};

struct Stop {
    // Paused: a debugger's breakpoint, single step or interrupt. Halted:
    // halt() was called, or the kernel is ending the run.
    enum Kind { Exited, Returned, Fault, InsnLimit, Timeout, Paused, Halted } kind;
    FaultRecord fault; // for Fault; for the other kinds only eip is set
};

// A guest address space and one CPU: the loader maps and fills memory
// through map() and write(), the runner sets the registers and runs it.
class Engine : public GuestMemory {
public:
    // Maps zeroed, page-aligned memory with these permissions (Perm bits);
    // returns its host address.
    virtual uint8_t *map(uint32_t addr, uint32_t size, unsigned perms) = 0;
    virtual uint32_t reg(Reg r) const = 0;
    virtual void setReg(Reg r, uint32_t v) = 0;
    // Runs from begin until the guest exits, faults or hits a limit.
    // Rethrows what a kernel call threw.
    virtual Stop run(uint32_t begin, Task &task, const RunLimits &limits) = 0;
    // Asks a run on another thread to stop soon with Halted. A request that
    // comes while the guest is in a kernel call can be missed: ask again
    // until the run has returned.
    virtual void halt() = 0;
};

} // namespace zylos
