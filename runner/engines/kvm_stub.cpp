// The VM's ring-0 side, built once per engine: page tables, the descriptor
// tables and TSS, one handler per vector, and the vCPU put into 32-bit user
// mode under them.
#include "runner/engines/kvm.h"

#include "runner/engines/kvm_exit.h"
#include "runner/engines/kvm_internal.h"

#include <linux/kvm.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace zylos {
namespace {

kvm_segment segment(uint16_t selector, uint8_t type, bool system = false)
{
    kvm_segment s{};
    s.limit = 0xFFFFFFFF;
    s.selector = selector;
    s.type = type;
    s.present = 1;
    s.dpl = selector & 3;
    s.db = 1;
    s.s = system ? 0 : 1;
    s.g = 1;
    return s;
}

} // namespace

uint64_t KvmEngine::newTable()
{
    if (nextTable_ == kSystemPhys + kSystemSize)
        throw std::runtime_error("out of page-table memory");
    return std::exchange(nextTable_, nextTable_ + kPageSize);
}

// The top levels exist from the start; page tables are added as needed.
void KvmEngine::mapPage(uint64_t virt, uint64_t phys, uint64_t flags)
{
    uint64_t &pde = systemPage(kPageDirs + (virt >> 30) * kPageSize)[(virt >> 21) & 511];
    if (!pde)
        pde = newTable() | kPresent | kWritable | kUser;
    systemPage(pde & 0xFFFFFF000)[(virt >> 12) & 511] = phys | flags;
}

void KvmEngine::buildStub()
{
    systemPage(kPml4)[0] = kPdpt | kPresent | kWritable | kUser;
    for (uint64_t i = 0; i < 4; ++i)
        systemPage(kPdpt)[i] = (kPageDirs + i * kPageSize) | kPresent | kWritable | kUser;

    writeDescriptorTables(reinterpret_cast<uint8_t *>(systemPage(kTablesPhys)));
    // Each handler reports its vector with an out to the port of that
    // number, which leaves the VM; after a kernel call it returns.
    uint8_t *handlers = reinterpret_cast<uint8_t *>(systemPage(kHandlersPhys));
    for (uint32_t v = 0; v < kGates; ++v) {
        const uint8_t code[kHandlerSize] = {0xE6, static_cast<uint8_t>(v), 0x48, 0xCF}; // out v, al; iretq
        std::memcpy(handlers + v * kHandlerSize, code, kHandlerSize);
    }
    mapPage(kDescriptorPage, kTablesPhys, kPresent | kUser | kNoExecute);
    mapPage(kHandlersPage, kHandlersPhys, kPresent);
    mapPage(kRing0StackPage, kStackPhys, kPresent | kWritable | kNoExecute);
}

void KvmEngine::enterUserMode()
{
    kvm_sregs s{};
    kvmIoctl(vcpu_, KVM_GET_SREGS, &s, "reading the virtual CPU");
    s.cs = segment(kUserCode, 0xB);
    s.ds = s.es = s.fs = s.gs = s.ss = segment(kUserData, 0x3);
    s.tr = segment(kTssSelector, 0xB, true);
    s.tr.base = kDescriptorPage + kTssOffset;
    s.tr.limit = kTssLimit;
    s.tr.db = s.tr.g = 0;
    // The reset LDT (base 0, limit 0xFFFF) would let a guest that owns
    // address 0x1000 write descriptors of its own, 64-bit code among them.
    s.ldt = kvm_segment{};
    s.ldt.unusable = 1;
    s.gdt = {kDescriptorPage, kGdtLimit, {}};
    s.idt = {kDescriptorPage + kIdtOffset, kIdtLimit, {}};
    s.cr0 = kCr0;
    s.cr3 = kPml4;
    s.cr4 = kCr4;
    s.efer = kEfer;
    if (::ioctl(vcpu_, KVM_SET_SREGS, &s) != 0)
        throw NativeUnavailable(std::string("the virtual CPU refuses 32-bit user mode with paging: ") +
                                std::strerror(errno));
    // x87 as after FNINIT, SSE exceptions masked.
    kvm_fpu fpu{};
    fpu.fcw = 0x037F;
    fpu.mxcsr = 0x1F80;
    kvmIoctl(vcpu_, KVM_SET_FPU, &fpu, "setting the virtual CPU's x87 state");
    regs_[static_cast<int>(Reg::Eflags)] = kEflagsDefault;
}

} // namespace zylos
