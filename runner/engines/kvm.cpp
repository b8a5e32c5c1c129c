#include "runner/engines/kvm.h"

#include "runner/engines/gate.h"
#include "runner/engines/kvm_exit.h"
#include "runner/engines/kvm_internal.h"
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
    DeadlineKick(const Deadline &deadline, kvm_run *run)
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
        const itimerspec at{{0, 0}, deadline.monotonic()};
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
    return walkRegions(regions_, addr, n, forWrite ? kPermWrite : kPermRead,
                       [](const Region &, uint64_t, size_t, size_t) {});
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

// The limits are the instruction counts, which the options refuse natively.
Stop KvmEngine::run(uint32_t begin, Task &task, const RunLimits &)
{
    setReg(Reg::Eip, begin);
    loadRegs();
    // The registers come back in the run page with every exit.
    run_->kvm_valid_regs = KVM_SYNC_X86_REGS;
    halted_ = false;
    const DeadlineKick kick(task.deadline(), run_);
    thread_ = ::pthread_self();
    for (;;) {
        const KvmExit exit = enter();
        switch (exit.kind) {
        case KvmExit::Interrupted:
            if (halted_)
                return {Stop::Halted, {}};
            if (task.deadline().passed())
                return {Stop::Timeout, {}};
            break;
        case KvmExit::KernelCall:
            if (const std::optional<Stop> stop = serveCall(exit, task))
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

std::optional<Stop> KvmEngine::serveCall(const KvmExit &exit, Task &task)
{
    if (exit.resumeEip != exit.eip)
        systemPage(kStackPhys)[exit.ripSlot] = exit.resumeEip;
    kvm_regs &k = run_->s.regs.regs;
    CallRegisters regs{static_cast<uint32_t>(k.rax), static_cast<uint32_t>(k.rbx), static_cast<uint32_t>(k.rcx),
                       static_cast<uint32_t>(k.rdx)};
    const std::optional<Stop::Kind> stop = serveKernelCall(task, *this, regs);
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

} // namespace zylos
