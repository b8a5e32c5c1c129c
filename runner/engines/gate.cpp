#include "runner/engines/gate.h"

namespace zylos {

std::optional<Stop::Kind> serveKernelCall(Task &task, GuestMemory &mem, CallRegisters &regs)
{
    const uint32_t args[3] = {regs.ebx, regs.ecx, regs.edx};
    regs.eax = static_cast<uint32_t>(task.call(regs.eax, args, mem));
    if (task.exited())
        return Stop::Exited;
    if (task.halted())
        return Stop::Halted;
    if (task.deadline().passed())
        return Stop::Timeout;
    return std::nullopt;
}

} // namespace zylos
