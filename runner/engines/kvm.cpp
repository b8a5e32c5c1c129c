#include "runner/engines/kvm.h"

#include "runner/engines/gate.h"
#include "runner/engines/kvm_exit.h"
#include "runner/kernel/layout.h"
#include "runner/kernel/unique_fd.h"

#include <fcntl.h>
#include <linux/kvm.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace zylos {
namespace {

// Guest physical memory: the user range at the addresses the guest sees,
// then the system area with the page tables and the stub.
//
// The VM runs in long mode with the guest's code segment in 32-bit
// (compatibility) mode: some hosts run KVM guests with paging only in long
// mode, and the 4-level tables give the same non-executable pages that PAE
// paging would. The guest cannot tell the difference: there is no 64-bit
// code segment it may enter.
constexpr uint64_t kSystemPhys = kUserEnd;
constexpr uint64_t kSystemSize = 8 << 20; // the tables of a full 3 GiB user range fit
constexpr uint64_t kPml4 = kSystemPhys, kPdpt = kSystemPhys + 0x1000, kPageDirs = kSystemPhys + 0x2000;
constexpr uint64_t kTablesPhys = kSystemPhys + 0x6000, kHandlersPhys = kSystemPhys + 0x7000,
                   kStackPhys = kSystemPhys + 0x8000, kFirstTable = kSystemPhys + 0x9000;
// Where the stub lives in the guest's address space, above the user range.
// The descriptor tables are readable to the guest, as under the emulator.
constexpr uint64_t kTablesVirt = 0xFFFFF000, kHandlersVirt = 0xFFFFE000;
constexpr uint64_t kTssOffset = 0x40, kIdtOffset = 0x100;
constexpr uint32_t kHandlerSize = 4;

// Selectors: the first four as under the emulator.
constexpr uint16_t kUserCode = 0x13, kUserData = 0x1B, kKernelCode = 0x20, kTss = 0x28;
constexpr uint64_t kGdt[] = {
    0,
    0x00CF93000000FFFF, // 0x08 kernel data
    0x00CFFB000000FFFF, // 0x10 user code, 32-bit, DPL 3
    0x00CFF3000000FFFF, // 0x18 user data, DPL 3
    0x00AF9B000000FFFF, // 0x20 kernel code, 64-bit
    // 0x28: the TSS (two slots), filled in by buildStub()
};
constexpr size_t kGdtEntries = std::size(kGdt) + 2;

constexpr uint64_t kPresent = 1, kWritable = 2, kUser = 4, kNoExecute = uint64_t{1} << 63;
constexpr uint64_t kCr0 = 0x80010033; // PG, WP, NE, ET, MP, PE
constexpr uint64_t kCr4 = 0x620;      // OSXMMEXCPT, OSFXSR, PAE
constexpr uint64_t kEfer = 0xD00;     // NXE, LMA, LME
constexpr uint32_t kEflagsDefault = 0x2;

std::system_error systemError(const std::string &what)
{
    return {errno, std::generic_category(), what};
}

int kvmIoctl(int fd, unsigned long request, const void *arg, const char *what)
{
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        throw systemError(what);
    return r;
}

// The run page of the vCPU this thread runs, for the kick signal.
thread_local kvm_run *running = nullptr;

constexpr int kKickSignal = SIGALRM;

void setImmediateExit(kvm_run *run, bool on)
{
    std::atomic_ref<uint8_t>(run->immediate_exit).store(on, std::memory_order_relaxed);
}

void kick(int)
{
    if (running)
        setImmediateExit(running, true);
}

// One handler for every vCPU thread, installed once and kept.
void installKick()
{
    static const bool installed = [] {
        struct sigaction sa {};
        sa.sa_handler = kick;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        return ::sigaction(kKickSignal, &sa, nullptr) == 0;
    }();
    if (!installed)
        throw std::system_error(errno, std::generic_category(), "installing the vCPU's signal handler");
}

// Kicks the vCPU out of KVM_RUN at the deadline: a signal to this thread,
// whose handler also makes a KVM_RUN that has not begun yet return at once.
class DeadlineKick {
public:
    DeadlineKick(std::optional<Task::Clock::time_point> deadline, kvm_run *run)
    {
        installKick();
        running = run;
        if (!deadline)
            return;
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = kKickSignal;
        ev._sigev_un._tid = ::gettid();
        if (::timer_create(CLOCK_MONOTONIC, &ev, &timer_) != 0)
            throw systemError("creating the guest's timer");
        armed_ = true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        const itimerspec at{{0, 0}, {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)}};
        ::timer_settime(timer_, TIMER_ABSTIME, &at, nullptr);
    }
    ~DeadlineKick()
    {
        if (armed_)
            ::timer_delete(timer_);
        running = nullptr;
    }
    DeadlineKick(const DeadlineKick &) = delete;
    DeadlineKick &operator=(const DeadlineKick &) = delete;

private:
    timer_t timer_{};
    bool armed_ = false;
};

// The vector handlers' first words: the frame is the guest's from here.
uint64_t gate(uint64_t handler, unsigned dpl)
{
    return (handler & 0xFFFF) | uint64_t{kKernelCode} << 16 | uint64_t{0x8E | dpl << 5} << 40 |
           ((handler >> 16) & 0xFFFF) << 48;
}

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

// The text of a software interrupt, a fast system call or a far transfer at
// eip, or nothing: some hosts raise an invalid opcode fault for every int n,
// and for a far jump to a segment of another mode, where the CPU itself
// raises a general protection fault.
std::optional<std::string> instructionText(const GuestMemory &mem, uint32_t eip)
{
    uint8_t op[2] = {};
    mem.read(eip, op, 1);
    mem.read(eip + 1, op + 1, 1);
    switch (op[0]) {
    case 0xCC: return interruptText(3);
    case 0xCD: return interruptText(op[1]);
    case 0xCE: return interruptText(4);
    case 0xF1: return interruptText(1);
    case 0x9A:
    case 0xEA: return "general protection fault";
    case 0x0F:
        if (op[1] == 0x34 || op[1] == 0x05)
            return "invalid instruction (sysenter/syscall)";
        break;
    default: break;
    }
    return std::nullopt;
}

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
        uint8_t op[2] = {};
        mem.read(at, op, 1);
        mem.read(at + 1, op + 1, 1);
        const uint32_t vector = op[0] == 0xCD ? op[1] : op[0] == 0xCC ? 3 : op[0] == 0xCE ? 4 : op[0] == 0xF1 ? 1 : 256;
        const uint32_t length = op[0] == 0xCD ? 2 : 1;
        if (vector < 256 && (index == vector || index == 2 * vector) && (at == eip || at + length == eip))
            return {vector, at};
    }
    return {index, eip};
}

} // namespace

KvmEngine::KvmEngine() : nextTable_(kFirstTable)
{
    const int kvm = ::open("/dev/kvm", O_RDWR | O_CLOEXEC);
    if (kvm < 0)
        throw NativeUnavailable(std::string("cannot open /dev/kvm: ") + std::strerror(errno));
    const UniqueFd kvmFd(kvm);
    if (::ioctl(kvm, KVM_GET_API_VERSION, 0) != KVM_API_VERSION)
        throw NativeUnavailable("/dev/kvm speaks an unknown API version");
    vm_ = ::ioctl(kvm, KVM_CREATE_VM, 0);
    if (vm_ < 0)
        throw NativeUnavailable(std::string("cannot create a virtual machine: ") + std::strerror(errno));
    const int mmapSize = ::ioctl(kvm, KVM_GET_VCPU_MMAP_SIZE, 0);
    vcpu_ = ::ioctl(vm_, KVM_CREATE_VCPU, 0);
    if (vcpu_ < 0 || mmapSize <= 0)
        throw NativeUnavailable(std::string("cannot create a virtual CPU: ") + std::strerror(errno));
    runSize_ = static_cast<size_t>(mmapSize);
    void *run = ::mmap(nullptr, runSize_, PROT_READ | PROT_WRITE, MAP_SHARED, vcpu_, 0);
    if (run == MAP_FAILED)
        throw systemError("mapping the virtual CPU");
    run_ = static_cast<kvm_run *>(run);
    // The guest's view of the CPU: what this host's KVM supports. Some
    // hosts offer no list, and their default already has long mode and NX.
    std::vector<uint8_t> cpuid(sizeof(kvm_cpuid2) + 256 * sizeof(kvm_cpuid_entry2));
    auto *entries = reinterpret_cast<kvm_cpuid2 *>(cpuid.data());
    entries->nent = 256;
    if (::ioctl(kvm, KVM_GET_SUPPORTED_CPUID, entries) == 0)
        kvmIoctl(vcpu_, KVM_SET_CPUID2, entries, "setting the virtual CPU's features");

    void *mem = ::mmap(nullptr, kSystemPhys + kSystemSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED)
        throw systemError("reserving guest memory");
    mem_ = static_cast<uint8_t *>(mem);
    addSlot(kSystemPhys, kSystemSize, mem_ + kSystemPhys);
    buildStub();
    enterUserMode();
}

KvmEngine::~KvmEngine()
{
    if (run_)
        ::munmap(run_, runSize_);
    if (vcpu_ >= 0)
        ::close(vcpu_);
    if (vm_ >= 0)
        ::close(vm_);
    if (mem_)
        ::munmap(mem_, kSystemPhys + kSystemSize);
}

void KvmEngine::addSlot(uint64_t phys, uint64_t size, uint8_t *host)
{
    const kvm_userspace_memory_region slot{slots_++, 0, phys, size, reinterpret_cast<uint64_t>(host)};
    kvmIoctl(vm_, KVM_SET_USER_MEMORY_REGION, &slot, "giving the virtual machine its memory");
}

uint64_t *KvmEngine::systemPage(uint64_t phys) const
{
    return reinterpret_cast<uint64_t *>(mem_ + phys);
}

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

    uint64_t *tables = systemPage(kTablesPhys);
    std::memcpy(tables, kGdt, sizeof kGdt);
    // A 64-bit TSS, already busy: its ring-0 stack, and no I/O permissions
    // (the bitmap offset lies past its end).
    const uint64_t tss = kTablesVirt + kTssOffset;
    tables[std::size(kGdt)] = 103 | (tss & 0xFFFFFF) << 16 | uint64_t{0x8B} << 40 | (tss >> 24 & 0xFF) << 56;
    tables[std::size(kGdt) + 1] = tss >> 32;
    uint8_t *tssBytes = reinterpret_cast<uint8_t *>(tables) + kTssOffset;
    const uint64_t stackTop = kStackVirt + kPageSize;
    std::memcpy(tssBytes + 4, &stackTop, 8);
    const uint16_t noBitmap = 104;
    std::memcpy(tssBytes + 102, &noBitmap, 2);

    // Each handler reports its vector with an out to the port of that
    // number, which leaves the VM; after a kernel call it returns.
    uint64_t *idt = tables + kIdtOffset / 8;
    uint8_t *handlers = reinterpret_cast<uint8_t *>(systemPage(kHandlersPhys));
    for (uint32_t v = 0; v < kGates; ++v) {
        const uint64_t handler = kHandlersVirt + v * kHandlerSize;
        idt[2 * v] = gate(handler, v == kKernelVector ? 3 : 0);
        idt[2 * v + 1] = handler >> 32;
        const uint8_t code[kHandlerSize] = {0xE6, static_cast<uint8_t>(v), 0x48, 0xCF}; // out v, al; iretq
        std::memcpy(handlers + v * kHandlerSize, code, kHandlerSize);
    }
    mapPage(kTablesVirt, kTablesPhys, kPresent | kUser | kNoExecute);
    mapPage(kHandlersVirt, kHandlersPhys, kPresent);
    mapPage(kStackVirt, kStackPhys, kPresent | kWritable | kNoExecute);
}

void KvmEngine::enterUserMode()
{
    kvm_sregs s{};
    kvmIoctl(vcpu_, KVM_GET_SREGS, &s, "reading the virtual CPU");
    s.cs = segment(kUserCode, 0xB);
    s.ds = s.es = s.fs = s.gs = s.ss = segment(kUserData, 0x3);
    s.tr = segment(kTss, 0xB, true);
    s.tr.base = kTablesVirt + kTssOffset;
    s.tr.limit = 103;
    s.tr.db = s.tr.g = 0;
    s.gdt = {kTablesVirt, static_cast<uint16_t>(kGdtEntries * 8 - 1), {}};
    s.idt = {kTablesVirt + kIdtOffset, static_cast<uint16_t>(kGates * 16 - 1), {}};
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

uint8_t *KvmEngine::map(uint32_t addr, uint32_t size, unsigned perms)
{
    if (addr % kPageSize || size % kPageSize || !size || uint64_t{addr} + size > kUserEnd || regionAt(addr) ||
        regionAt(uint64_t{addr} + size - 1))
        throw std::runtime_error("cannot map guest memory at " + hexAddress(addr));
    addSlot(addr, size, mem_ + addr);
    // Pages without any permission stay present for ring 0 only, so that a
    // guest access is refused as one to a protected page, not a missing one.
    const uint64_t flags =
        kPresent | (perms ? kUser : 0) | (perms & kPermWrite ? kWritable : 0) | (perms & kPermExec ? 0 : kNoExecute);
    for (uint64_t page = addr; page < uint64_t{addr} + size; page += kPageSize)
        mapPage(page, page, flags);
    insertRegion(regions_, Region{addr, size, perms});
    return mem_ + addr;
}

const KvmEngine::Region *KvmEngine::regionAt(uint64_t addr) const
{
    return regionHolding(regions_, addr);
}

bool KvmEngine::accessible(uint32_t addr, size_t n, bool forWrite) const
{
    if (n > (uint64_t{1} << 32))
        return false;
    const unsigned need = forWrite ? kPermWrite : kPermRead;
    const uint64_t end = uint64_t{addr} + n;
    for (uint64_t at = addr; at < end;) {
        const Region *r = regionAt(at);
        if (!r || (r->perms & need) != need)
            return false;
        at = uint64_t{r->base} + r->size;
    }
    return true;
}

bool KvmEngine::read(uint32_t addr, void *out, size_t n) const
{
    if (!accessible(addr, n, false))
        return false;
    if (n != 0) // a zero-length read may come with a null buffer
        std::memcpy(out, mem_ + addr, n);
    return true;
}

bool KvmEngine::write(uint32_t addr, const void *in, size_t n)
{
    if (!accessible(addr, n, true))
        return false;
    if (n != 0)
        std::memcpy(mem_ + addr, in, n);
    return true;
}

uint32_t KvmEngine::reg(Reg r) const
{
    return regs_[static_cast<int>(r)];
}

void KvmEngine::setReg(Reg r, uint32_t v)
{
    regs_[static_cast<int>(r)] = v;
}

void KvmEngine::loadRegs()
{
    kvm_regs k{};
    k.rax = reg(Reg::Eax), k.rbx = reg(Reg::Ebx), k.rcx = reg(Reg::Ecx), k.rdx = reg(Reg::Edx);
    k.rsi = reg(Reg::Esi), k.rdi = reg(Reg::Edi), k.rbp = reg(Reg::Ebp), k.rsp = reg(Reg::Esp);
    k.rip = reg(Reg::Eip), k.rflags = reg(Reg::Eflags);
    kvmIoctl(vcpu_, KVM_SET_REGS, &k, "setting the guest's registers");
}

void KvmEngine::storeRegs()
{
    const kvm_regs &k = run_->s.regs.regs;
    const uint64_t values[] = {k.rax, k.rbx, k.rcx, k.rdx, k.rsi, k.rdi, k.rbp, k.rsp, k.rip, k.rflags};
    for (size_t i = 0; i < std::size(values); ++i)
        regs_[i] = static_cast<uint32_t>(values[i]);
}

Stop KvmEngine::run(uint32_t begin, Task &task, const RunLimits &limits)
{
    setReg(Reg::Eip, begin);
    loadRegs();
    // The registers come back in the run page with every exit.
    run_->kvm_valid_regs = KVM_SYNC_X86_REGS;
    halted_ = false;
    const DeadlineKick kick(limits.deadline, run_);
    thread_ = ::pthread_self();
    for (;;) {
        const KvmExit exit = enter();
        switch (exit.kind) {
        case KvmExit::Interrupted:
            if (halted_)
                return {Stop::Halted, {}};
            if (limits.deadline && Task::Clock::now() >= *limits.deadline)
                return {Stop::Timeout, {}};
            break;
        case KvmExit::KernelCall:
            if (const std::optional<Stop> stop = serveCall(exit, task, limits))
                return *stop;
            break;
        case KvmExit::Exception: return faultAt(exit);
        }
    }
}

KvmExit KvmEngine::enter()
{
    const bool interrupted = ::ioctl(vcpu_, KVM_RUN, 0) != 0;
    if (interrupted) {
        if (errno != EINTR && errno != EAGAIN)
            throw systemError("running the guest");
        setImmediateExit(run_, false);
    }
    return decodeKvmExit(*run_, interrupted, systemPage(kStackPhys), *this);
}

std::optional<Stop> KvmEngine::serveCall(const KvmExit &exit, Task &task, const RunLimits &limits)
{
    if (exit.resumeEip != exit.eip)
        systemPage(kStackPhys)[exit.ripSlot] = exit.resumeEip;
    kvm_regs &k = run_->s.regs.regs;
    CallRegisters regs{static_cast<uint32_t>(k.rax), static_cast<uint32_t>(k.rbx), static_cast<uint32_t>(k.rcx),
                       static_cast<uint32_t>(k.rdx)};
    const std::optional<Stop::Kind> stop = serveKernelCall(task, *this, regs, limits.deadline);
    k.rax = regs.eax;
    run_->kvm_dirty_regs = KVM_SYNC_X86_REGS;
    if (!stop)
        return std::nullopt;
    if (*stop == Stop::Exited)
        storeRegs();
    return Stop{*stop, {{}, exit.eip}};
}

void KvmEngine::halt()
{
    halted_ = true;
    setImmediateExit(run_, true);
    if (const pthread_t t = thread_.load())
        ::pthread_kill(t, kKickSignal);
}

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
        const bool mapped = regionAt(address) || pageDown(address) == kTablesVirt;
        return accessText(a, mapped, address);
    }
    case kGeneralProtection: return instructionText(*this, eip).value_or(privilegedText(*this, eip));
    case kInvalidOpcode: return instructionText(*this, eip).value_or("invalid instruction");
    default: return interruptText(exit.vector);
    }
}

} // namespace zylos
