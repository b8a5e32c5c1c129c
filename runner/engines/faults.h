// Guest faults as every engine reports them: the record of one,
// the words for what went wrong, and the few instruction bytes those words
// depend on, decoded in one place so that the engines agree.
#pragma once

#include "runner/kernel/guest_memory.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zylos {

// A guest fault, with the registers a backtrace starts from.
struct FaultRecord {
    std::string what;     // e.g. "read of unmapped address 0x00000010"
    uint32_t address = 0; // the address accessed, else the instruction
    uint32_t eip = 0;     // the faulting instruction
    uint32_t esp = 0;
    uint32_t ebp = 0;
};

// The instruction at an address, as far as fault reports tell instructions
// apart, from its first two bytes (a byte that cannot be read counts as 0).
struct Instruction {
    enum Kind {
        Other,
        SoftwareInterrupt, // int n, int3, int1, into
        FarTransfer,       // a far call or jump
        FastSystemCall,    // sysenter, syscall
        Privileged,        // one that ring 3 may not execute
    } kind = Other;
    uint32_t vector = 0;        // SoftwareInterrupt: the vector it raises
    uint32_t length = 0;        // SoftwareInterrupt: its bytes
    const char *name = nullptr; // Privileged
};
Instruction decodeInstruction(const GuestMemory &mem, uint32_t eip);

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
// The text of a software interrupt, a fast system call or a far transfer at
// eip, or nothing: some hosts raise an invalid opcode fault for every int n,
// and for a far jump to a segment of another mode, where the CPU itself
// raises a general protection fault.
std::optional<std::string> instructionText(const GuestMemory &mem, uint32_t eip);

} // namespace zylos
