// The emulator's callbacks: kernel calls and faults as the guest meets them,
// instructions counted as blocks start, and the debugger's stops.
#include "runner/engines/gate.h"
#include "runner/engines/unicorn_internal.h"
#include "runner/kernel/layout.h"

#include <utility>

namespace zylos {
namespace {

UnicornEngine &of(void *self)
{
    return *static_cast<UnicornEngine *>(self);
}

std::string accessText(uc_mem_type type, uint64_t address)
{
    const uint32_t at = static_cast<uint32_t>(address);
    switch (type) {
    case UC_MEM_READ_UNMAPPED: return accessText(Access::Read, false, at);
    case UC_MEM_WRITE_UNMAPPED: return accessText(Access::Write, false, at);
    case UC_MEM_FETCH_UNMAPPED: return accessText(Access::Execute, false, at);
    case UC_MEM_READ_PROT: return accessText(Access::Read, true, at);
    case UC_MEM_WRITE_PROT: return accessText(Access::Write, true, at);
    case UC_MEM_FETCH_PROT: return accessText(Access::Execute, true, at);
    default: return "bad access to address " + hexAddress(at);
    }
}

bool isFetch(uc_mem_type type)
{
    return type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT;
}

// Unicorn reports an int, int3, int1 or into with EIP past it; exceptions
// the CPU raises itself leave EIP on the faulting instruction.
uint32_t interruptingInstruction(const GuestMemory &mem, uint32_t intno, uint32_t eip)
{
    uint8_t last = 0;
    if (!mem.read(eip - 1, &last, 1))
        return eip;
    for (const uint32_t length : {2u, 1u}) {
        const Instruction i = decodeInstruction(mem, eip - length);
        if (i.kind == Instruction::SoftwareInterrupt && i.length == length && i.vector == intno)
            return eip - length;
    }
    return eip;
}

// The text of an exception the CPU raised at eip, or of an int n there. An
// iret with NT set asks for a task switch, which the emulated CPU refuses
// with an invalid-TSS fault (the task it would return to is null); the
// native engine's CPU, in long mode, has no task switch and raises a general
// protection fault instead, and so both report that.
std::string exceptionText(const GuestMemory &mem, uint32_t vector, uint32_t eip, bool raised)
{
    constexpr uint32_t kInvalidTss = 10, kGeneralProtection = 13;
    if (vector == kGeneralProtection || (vector == kInvalidTss && raised))
        return privilegedText(mem, eip);
    return interruptText(vector);
}

} // namespace

void MachineHooks::install(UnicornEngine &m)
{
    uc_hook h;
    check(uc_hook_add(m.uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(interrupt), &m, 1, 0), "hook");
#ifdef uc_ctl_tlb_mode
    // The CPU's own TLB, paging off, makes every page executable, and the
    // emulator keeps every store to an executable page on its slow path.
    check(uc_ctl_tlb_mode(m.uc_, UC_TLB_VIRTUAL), "choosing the TLB");
    check(uc_hook_add(m.uc_, &h, UC_HOOK_TLB_FILL, reinterpret_cast<void *>(fillTlb), &m, 1, 0), "hook");
#endif
    m.coverBadAccesses();
    check(uc_hook_add(m.uc_, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(invalidInstruction), &m, 1, 0), "hook");
    check(uc_hook_add(m.uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(portIn), &m, 1, 0, UC_X86_INS_IN), "hook");
    check(uc_hook_add(m.uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(portOut), &m, 1, 0, UC_X86_INS_OUT), "hook");
    for (const int insn : {UC_X86_INS_SYSENTER, UC_X86_INS_SYSCALL})
        check(uc_hook_add(m.uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(fastSystemCall), &m, 1, 0, insn), "hook");
    if (m.stepping_)
        check(uc_hook_add(m.uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(code), &m, 1, 0), "hook");
    else if (m.counting_) {
        m.lengths_ = std::make_unique<UnicornEngine::BlockLength[]>(UnicornEngine::kBlockLengthSlots);
        m.codePages_ = std::make_unique<uint64_t[]>(UnicornEngine::kCodePageBits / 64);
        check(uc_hook_add(m.uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(countBlock), &m, 1, 0), "hook");
    }
}

// The instruction about to run, unless a hook already ended the run: an
// instruction hook's stop takes effect only after its instruction.
void MachineHooks::record(UnicornEngine &m, uint64_t address)
{
    if (!m.stop_)
        m.insnAt_ = static_cast<uint32_t>(address);
}

void MachineHooks::replayed(uc_engine *, uint64_t address, uint32_t, void *self)
{
    UnicornEngine &m = of(self);
    if (!m.stop_)
        ++m.replayed_;
    record(m, address);
}

void MachineHooks::code(uc_engine *, uint64_t address, uint32_t, void *self)
{
    UnicornEngine &m = of(self);
    record(m, address);
    if (m.debug_ && debugStop(m, static_cast<uint32_t>(address)))
        return;
    if (!withinLimit(m))
        m.stopWith(Stop::InsnLimit);
    else {
        ++m.insns_;
        if (m.profiler_)
            m.profiler_->countInstructions(1);
    }
}

// Runs before every block with counting on, so the usual case (a block
// met before, paid for from the grant in hand, nothing else to do) is a
// short leaf; the rest goes to countBlockSlowly.
void MachineHooks::countBlock(uc_engine *uc, uint64_t address, uint32_t size, void *self)
{
    UnicornEngine &m = of(self);
    const uint32_t start = static_cast<uint32_t>(address);
    const UnicornEngine::BlockLength &known = m.lengthSlot(start);
    if (known.key == UnicornEngine::blockKey(start, size) && known.insns <= m.granted_ && !m.replaying_ &&
        !m.finishing_ && !m.profiler_ && !m.halted_.load(std::memory_order_relaxed) &&
        !m.timeUp_.load(std::memory_order_relaxed)) {
        m.granted_ -= known.insns;
        m.insns_ += known.insns;
        m.blockStart_ = start;
        m.blockInsns_ = known.insns;
        return;
    }
    countBlockSlowly(uc, address, size, self);
}

// Charges a whole translated block as it starts. Stops asked for from
// other threads are taken here, before the block runs, so that nothing
// is charged for a block that does not.
void MachineHooks::countBlockSlowly(uc_engine *uc, uint64_t address, uint32_t size, void *self)
{
    UnicornEngine &m = of(self);
    if (m.replaying_)
        return;
    m.blockInsns_ = 0;
    if (m.halted_.load(std::memory_order_relaxed) || m.timeUp_.load(std::memory_order_relaxed)) {
        uc_emu_stop(uc);
        return;
    }
    const uint32_t start = static_cast<uint32_t>(address);
    uint32_t insns = 0; // the block in which the limit falls counts its instructions itself
    if (!m.finishing_) {
        insns = m.blockLength(start, size);
        if (!m.charge(insns)) {
            m.limitBlock_ = start;
            m.limitBlockSize_ = size;
            uc_emu_stop(uc);
            return;
        }
    }
    m.blockStart_ = start;
    m.blockInsns_ = insns;
    if (m.profiler_) {
        // The previous block's instructions belong to the frame it ran in.
        m.profiler_->countInstructions(std::exchange(m.unprofiled_, insns));
        m.profiler_->enterBlock(start, m.reg(Reg::Esp));
    }
}

// A store of the guest's into memory it may also run.
void MachineHooks::codeWritten(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *self)
{
    of(self).forgetBlockLengths(address, static_cast<uint64_t>(size));
}

// Counts the instruction about to run against the limit, in the run's
// total when all processes share one.
bool MachineHooks::withinLimit(UnicornEngine &m)
{
    if (m.spent_->fetch_add(1, std::memory_order_relaxed) < m.insnLimit_)
        return true;
    m.spent_->fetch_sub(1, std::memory_order_relaxed); // it does not run
    return false;
}

void MachineHooks::block(uc_engine *, uint64_t address, uint32_t, void *self)
{
    UnicornEngine &m = of(self);
    m.profiler_->enterBlock(static_cast<uint32_t>(address), m.reg(Reg::Esp));
}

bool MachineHooks::debugStop(UnicornEngine &m, uint32_t address)
{
    // The first instruction runs whatever is set there: the debugger
    // resumes from where it stopped.
    const bool first = std::exchange(m.firstInsn_, false);
    const DebugControls &d = *m.debug_;
    if ((!first && (d.step || (d.breakpoints && d.breakpoints->count(address)))) ||
        ((m.insns_ & 0xFFFF) == 0 && d.interrupted && d.interrupted())) {
        m.stopWith(Stop::Paused);
        return true;
    }
    return false;
}

// Entered with EIP already past the int instruction; only EAX is written
// here, never EIP.
void MachineHooks::interrupt(uc_engine *, uint32_t intno, void *self)
{
    UnicornEngine &m = of(self);
    // A port hook's stop takes effect only at the end of the current
    // block; a kernel call later in that block is not performed, nor
    // one met while a fault is replayed.
    if (m.stop_ || m.replaying_) {
        uc_emu_stop(m.uc_);
        return;
    }
    if (intno != 0x80) {
        const uint32_t after = m.reg(Reg::Eip), eip = interruptingInstruction(m, intno, after);
        m.faultAt(exceptionText(m, intno, eip, eip == after), eip, eip);
        return;
    }
    // One read for the four registers: a cheap call is short enough for
    // each separate read to show.
    int ids[] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX};
    CallRegisters regs{};
    void *values[] = {&regs.eax, &regs.ebx, &regs.ecx, &regs.edx};
    uc_reg_read_batch(m.uc_, ids, values, 4);
    std::optional<Stop::Kind> stop;
    try {
        stop = serveKernelCall(*m.task_, m, regs);
        m.setReg(Reg::Eax, regs.eax);
    } catch (...) {
        m.pending_ = std::current_exception();
        m.stopWith(Stop::Fault, "kernel call failed");
        return;
    }
    if (stop)
        m.stopWith(*stop);
}

bool MachineHooks::badAccess(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *self)
{
    UnicornEngine &m = of(self);
    // EIP names the start of the translated block here, as in the
    // instruction hooks below; run() finds the instruction.
    m.blockAt_ = m.reg(Reg::Eip);
    if (isFetch(type))
        m.faultAt(accessText(type, address), static_cast<uint32_t>(address), static_cast<uint32_t>(address), false);
    else
        m.stop_ = Stop{Stop::Fault, {accessText(type, address), static_cast<uint32_t>(address)}};
    return false;
}

// Asked for a page's permissions at a miss in the emulator's TLB. A plain
// data page gets its own, without execute, so that stores to it can stay on
// the fast path; no hook for bad accesses lies over it, and a fetch from it
// is found here. Every other page gets all, as from the CPU's own TLB, and
// the emulator's checks and those hooks find what the guest may not do.
#ifdef uc_ctl_tlb_mode
bool MachineHooks::fillTlb(uc_engine *, uint64_t page, uc_mem_type type, uc_tlb_entry *entry, void *self)
{
    UnicornEngine &m = of(self);
    const UnicornEngine::Region *r = m.regionAt(page);
    entry->paddr = page;
    entry->perms = UC_PROT_ALL;
    if (!r || !r->plainData())
        return true;
    entry->perms = static_cast<uc_prot>(UC_PROT_READ | UC_PROT_WRITE);
    if (type != UC_MEM_FETCH)
        return true;
    // A block is fetched in order from its start, so the first byte fetched
    // from this page is there or at the page's start.
    const uint32_t eip = m.reg(Reg::Eip);
    const uint32_t at = eip - page < kPageSize ? eip : static_cast<uint32_t>(page);
    m.blockAt_ = eip;
    m.faultAt(accessText(UC_MEM_FETCH_PROT, at), at, at, false);
    return false;
}
#endif

bool MachineHooks::invalidInstruction(uc_engine *, void *self)
{
    UnicornEngine &m = of(self);
    const uint32_t eip = m.reg(Reg::Eip);
    m.faultAt("invalid instruction", eip, eip, false);
    return false;
}

uint32_t MachineHooks::portIn(uc_engine *, uint32_t, int, void *self)
{
    UnicornEngine &m = of(self);
    m.blockAt_ = m.reg(Reg::Eip);
    m.stopWith(Stop::Fault, "privileged instruction (in)", *m.blockAt_);
    return 0;
}

void MachineHooks::portOut(uc_engine *, uint32_t, int, uint32_t, void *self)
{
    UnicornEngine &m = of(self);
    m.blockAt_ = m.reg(Reg::Eip);
    m.stopWith(Stop::Fault, "privileged instruction (out)", *m.blockAt_);
}

// The emulator would run these as no-ops; the zylos kernel is reached
// through int 0x80 only.
void MachineHooks::fastSystemCall(uc_engine *, void *self)
{
    UnicornEngine &m = of(self);
    m.blockAt_ = m.reg(Reg::Eip);
    m.stopWith(Stop::Fault, "invalid instruction (sysenter/syscall)", *m.blockAt_);
}

void UnicornEngine::profileWith(FlowObserver *p)
{
    profiler_ = p;
    if (!stepping_)
        return; // the counting hook follows the blocks
    uc_hook h;
    check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(MachineHooks::block), this, 1, 0), "hook");
}

} // namespace zylos
