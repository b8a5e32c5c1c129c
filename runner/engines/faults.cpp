#include "runner/engines/faults.h"

namespace zylos {
namespace {

// Instructions that ring 3 may not execute, by their opcode bytes; a
// general protection fault at one of them is reported by name.
struct Privileged {
    uint8_t op, op2;
    const char *name;
};
constexpr Privileged kPrivileged[] = {
    {0xF4, 0, "hlt"},
    {0xFA, 0, "cli"},
    {0xFB, 0, "sti"},
    {0xE4, 0, "in"},
    {0xE5, 0, "in"},
    {0xEC, 0, "in"},
    {0xED, 0, "in"},
    {0xE6, 0, "out"},
    {0xE7, 0, "out"},
    {0xEE, 0, "out"},
    {0xEF, 0, "out"},
    {0x0F, 0x00, "lldt/ltr"},
    {0x0F, 0x01, "lgdt/lidt/lmsw/invlpg"},
    {0x0F, 0x06, "clts"},
    {0x0F, 0x08, "invd"},
    {0x0F, 0x09, "wbinvd"},
    {0x0F, 0x20, "mov from cr"},
    {0x0F, 0x21, "mov from dr"},
    {0x0F, 0x22, "mov to cr"},
    {0x0F, 0x23, "mov to dr"},
    {0x0F, 0x30, "wrmsr"},
    {0x0F, 0x32, "rdmsr"},
};

} // namespace

Instruction decodeInstruction(const GuestMemory &mem, uint32_t eip)
{
    uint8_t op[2] = {};
    mem.read(eip, op, 1);
    mem.read(eip + 1, op + 1, 1);
    switch (op[0]) {
    case 0xCC: return {Instruction::SoftwareInterrupt, 3, 1};
    case 0xCD: return {Instruction::SoftwareInterrupt, op[1], 2};
    case 0xCE: return {Instruction::SoftwareInterrupt, 4, 1};
    case 0xF1: return {Instruction::SoftwareInterrupt, 1, 1};
    case 0x9A:
    case 0xEA: return {Instruction::FarTransfer};
    case 0x0F:
        if (op[1] == 0x34 || op[1] == 0x05)
            return {Instruction::FastSystemCall};
        break;
    default: break;
    }
    for (const Privileged &p : kPrivileged)
        if (p.op == op[0] && (p.op != 0x0F || p.op2 == op[1]))
            return {Instruction::Privileged, 0, 0, p.name};
    return {};
}

std::string accessText(Access access, bool mapped, uint32_t address)
{
    const std::string at = hexAddress(address);
    switch (access) {
    case Access::Read: return (mapped ? "read of unreadable address " : "read of unmapped address ") + at;
    case Access::Write: return (mapped ? "write to read-only address " : "write to unmapped address ") + at;
    case Access::Execute:
        return (mapped ? "execution of non-executable address " : "execution of unmapped address ") + at;
    }
    return "bad access to address " + at;
}

std::string privilegedText(const GuestMemory &mem, uint32_t eip)
{
    const Instruction i = decodeInstruction(mem, eip);
    return i.kind == Instruction::Privileged ? std::string("privileged instruction (") + i.name + ")"
                                             : "general protection fault";
}

std::string interruptText(uint32_t vector)
{
    switch (vector) {
    case 0: return "divide error";
    case 1: return "debug trap";
    case 3: return "breakpoint (int3)";
    case 4: return "overflow trap";
    case 5: return "bound range exceeded";
    case 6: return "invalid instruction";
    case 13: return "general protection fault";
    default: return "interrupt " + hexAddress(vector);
    }
}

std::optional<std::string> instructionText(const GuestMemory &mem, uint32_t eip)
{
    const Instruction i = decodeInstruction(mem, eip);
    switch (i.kind) {
    case Instruction::SoftwareInterrupt: return interruptText(i.vector);
    case Instruction::FarTransfer: return "general protection fault";
    case Instruction::FastSystemCall: return "invalid instruction (sysenter/syscall)";
    case Instruction::Privileged:
    case Instruction::Other: break;
    }
    return std::nullopt;
}

} // namespace zylos
