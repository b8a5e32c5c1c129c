// A guest fault under KVM, told from the vector and what the CPU pushed,
// in the words the emulator uses for the same fault.
#include "runner/engines/kvm.h"

#include "runner/engines/kvm_exit.h"
#include "runner/engines/kvm_internal.h"

#include <linux/kvm.h>

#include <optional>
#include <string>

namespace zylos {
namespace {

// An int n refused by its gate (a general protection fault whose error code
// points into the IDT): the vector the instruction names and where it
// starts. Some virtual CPUs push twice the gate's index (its byte offset in a
// 64-bit IDT over 8) and the address after the instruction; read back from
// the instruction and checked against the error code, the report is the same
// there as on a real CPU.
struct RefusedInterrupt {
    uint32_t vector, eip;
};
RefusedInterrupt refusedInterrupt(const GuestMemory &mem, uint32_t eip, uint32_t errorCode)
{
    const uint32_t index = errorCode >> 3;
    for (const uint32_t at : {eip, eip - 2, eip - 1}) {
        const Instruction i = decodeInstruction(mem, at);
        if (i.kind == Instruction::SoftwareInterrupt && (index == i.vector || index == 2 * i.vector) &&
            (at == eip || at + i.length == eip))
            return {i.vector, at};
    }
    return {index, eip};
}

} // namespace

Stop KvmEngine::faultAt(const KvmExit &exit)
{
    storeRegs();
    uint32_t eip = exit.eip;
    std::optional<std::string> what;
    if (exit.vector == kGeneralProtection && exit.errorCode & 2) {
        const RefusedInterrupt refused = refusedInterrupt(*this, eip, exit.errorCode);
        eip = refused.eip;
        what = interruptText(refused.vector);
    }
    setReg(Reg::Eip, eip);
    setReg(Reg::Esp, exit.esp);
    setReg(Reg::Eflags, exit.eflags);
    FaultRecord r{{}, eip, eip, reg(Reg::Esp), reg(Reg::Ebp)};
    r.what = what ? *what : faultText(exit, r.address);
    return {Stop::Fault, r};
}

std::string KvmEngine::faultText(const KvmExit &exit, uint32_t &address)
{
    const uint32_t eip = exit.eip;
    switch (exit.vector) {
    case kPageFault: {
        kvm_sregs s{};
        kvmIoctl(vcpu_, KVM_GET_SREGS, &s, "reading the virtual CPU");
        address = static_cast<uint32_t>(s.cr2);
        const Access a = exit.errorCode & 0x10 ? Access::Execute : exit.errorCode & 2 ? Access::Write : Access::Read;
        const bool mapped = regionAt(address) || pageDown(address) == kDescriptorPage;
        return accessText(a, mapped, address);
    }
    case kGeneralProtection: return instructionText(*this, eip).value_or(privilegedText(*this, eip));
    case kInvalidOpcode: return instructionText(*this, eip).value_or("invalid instruction");
    default: return interruptText(exit.vector);
    }
}

} // namespace zylos
