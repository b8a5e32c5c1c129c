// What every CPU backend shares: the limits a run is given, how a run
// stops, the record of a guest fault, and the one text a fault is reported
// with, so that the runner reports the same fault the same way whichever
// backend executed the guest.
#pragma once

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

// A guest fault, with the registers a backtrace starts from.
struct FaultRecord {
    std::string what;     // e.g. "read of unmapped address 0x00000010"
    uint32_t address = 0; // the address accessed, else the instruction
    uint32_t eip = 0;     // the faulting instruction
    uint32_t esp = 0;
    uint32_t ebp = 0;
};

struct Stop {
    // Paused: a debugger's breakpoint, single step or interrupt. Halted:
    // halt() was called, or the kernel is ending the run.
    enum Kind { Exited, Returned, Fault, InsnLimit, Timeout, Paused, Halted } kind;
    FaultRecord fault; // for Fault; for the other kinds only eip is set
};

class Symbolizer;

// The report of a fault, every line ending in a newline: "guest fault: WHAT
// at eip 0xXXXXXXXX (function+0xOFF)" (without the parenthesis where no
// symbol holds eip), then the backtrace read from stack, or why there is
// none when stack is null.
std::string describeFault(const FaultRecord &f, const Symbolizer &symbols, const GuestMemory *stack);

// The WHAT of a fault, worded the same by every backend.
enum class Access { Read, Write, Execute };
// A guest access to memory it does not have (mapped: there, but without
// the permission), e.g. "write to read-only address 0x08049000".
std::string accessText(Access access, bool mapped, uint32_t address);
// A general protection fault at eip, named by the privileged instruction
// there when it is one.
std::string privilegedText(const GuestMemory &mem, uint32_t eip);
// An exception or int n other than the kernel's.
std::string interruptText(uint32_t vector);

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
