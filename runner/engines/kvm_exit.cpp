#include "runner/engines/kvm_exit.h"

#include "runner/engines/faults.h"
#include "runner/kernel/layout.h"

#include <linux/kvm.h>

#include <stdexcept>
#include <string>

namespace zylos {
namespace {

// Vectors whose exception pushes an error code.
constexpr bool hasErrorCode(uint32_t v)
{
    return v == 8 || (v >= 10 && v <= 14) || v == 17 || v == 21;
}

constexpr size_t kStackWords = kPageSize / 8;

} // namespace

KvmExit decodeKvmExit(const kvm_run &run, bool interrupted, const uint64_t *stackPage, const GuestMemory &mem)
{
    if (interrupted || run.exit_reason == KVM_EXIT_INTR)
        return {};
    if (run.exit_reason != KVM_EXIT_IO || run.io.direction != KVM_EXIT_IO_OUT || run.io.port >= kGates)
        throw std::runtime_error("the virtual machine stopped unexpectedly (exit " + std::to_string(run.exit_reason) +
                                 ")");
    const uint32_t vector = run.io.port;
    // What the CPU pushed: the error code of some vectors, then rip, cs,
    // rflags, rsp and ss, eight bytes each.
    const size_t words = hasErrorCode(vector) ? 6 : 5;
    if (run.s.regs.regs.rsp != kRing0StackPage + kPageSize - 8 * words)
        throw std::runtime_error("the virtual machine's stub lost its stack");
    const size_t rip = kStackWords - 5;
    KvmExit e{KvmExit::Exception, vector};
    e.errorCode = words == 6 ? static_cast<uint32_t>(stackPage[kStackWords - 6]) : 0;
    e.eip = e.resumeEip = static_cast<uint32_t>(stackPage[rip]);
    e.eflags = static_cast<uint32_t>(stackPage[rip + 2]);
    e.esp = static_cast<uint32_t>(stackPage[rip + 3]);
    e.ripSlot = rip;
    // An int 0x80 arrives through its gate, or on hosts that fault on every
    // int n as an invalid opcode at it, to be stepped over.
    const auto isKernelCall = [&] {
        const Instruction i = decodeInstruction(mem, e.eip);
        return i.kind == Instruction::SoftwareInterrupt && i.length == 2 && i.vector == kKernelVector;
    };
    const bool stepOver = vector == kInvalidOpcode && isKernelCall();
    if (vector == kKernelVector || stepOver)
        e.kind = KvmExit::KernelCall;
    if (stepOver)
        e.resumeEip = e.eip + 2;
    return e;
}

} // namespace zylos
