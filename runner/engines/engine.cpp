#include "runner/engines/engine.h"

#include "runner/debug/symbolizer.h"

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

std::string describeFault(const FaultRecord &f, const Symbolizer &symbols, const GuestMemory *stack)
{
    const std::string where = symbols.describe(f.eip);
    return "guest fault: " + f.what + " at eip " + hexAddress(f.eip) + (where.empty() ? "" : " (" + where + ")") +
           "\n" +
           (stack ? formatBacktrace(symbols, {f.eip, f.esp, f.ebp}, *stack)
                  : "  (no backtrace: the guest's memory is gone)\n");
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
    uint8_t op[2] = {};
    if (mem.read(eip, op, 1) && op[0] == 0x0F)
        mem.read(eip + 1, op + 1, 1);
    for (const Privileged &p : kPrivileged)
        if (p.op == op[0] && (p.op != 0x0F || p.op2 == op[1]))
            return std::string("privileged instruction (") + p.name + ")";
    return "general protection fault";
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

} // namespace zylos
