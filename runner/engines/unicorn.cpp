// The emulator set up for a zylos guest in ring 3, and a run of it from
// its start to the stop that ends it.
#include "runner/engines/descriptor_tables.h"
#include "runner/engines/unicorn_internal.h"
#include "runner/kernel/layout.h"

#include <sys/mman.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <utility>

namespace zylos {
namespace {

// An x87 after FNINIT: extended precision, round to nearest, all
// exceptions masked, every register empty.
constexpr uint16_t kFpuControl = 0x037F;
constexpr uint16_t kFpuTagsEmpty = 0xFFFF;
constexpr uint32_t kMxcsrDefault = 0x1F80;
constexpr uint32_t kEflagsDefault = 0x2;

// The guest runs in ring 3, as under the zylos kernel, so that a privileged
// instruction faults instead of reconfiguring the emulated CPU. Ring 3 is
// entered once, by an iret from the descriptor page, which holds the iret
// frame and the code until then; afterwards the page holds the tables alone
// and is only readable.
constexpr uint32_t kIretFrame = kDescriptorPage + 0x100;
constexpr uint32_t kEntryCode = kDescriptorPage + 0x200;
#ifdef uc_ctl_set_tcg_buffer_size
// The translation cache: code of a zylos program fits many times over, and
// the emulator's default reserves a gigabyte that every start pays for in
// page tables.
constexpr size_t kTranslationCacheBytes = 32u << 20;
#endif
// Irets into ring 3 with flat segments.
void enterUserMode(uc_engine *uc)
{
    const uint32_t frame[] = {kEntryCode + 1, kUserCode, kEflagsDefault, 0, kUserData};
    // iret; mov eax, kUserData; mov ds, eax; mov es, eax; mov fs, eax; mov gs, eax
    const uint8_t code[] = {0xCF, 0xB8, kUserData, 0, 0, 0, 0x8E, 0xD8, 0x8E, 0xC0, 0x8E, 0xE0, 0x8E, 0xE8};
    check(uc_mem_map(uc, kDescriptorPage, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "mapping the descriptor page");
    check(uc_mem_write(uc, kDescriptorPage, kGdt, sizeof kGdt), "writing the descriptor page");
    check(uc_mem_write(uc, kIretFrame, frame, sizeof frame), "writing the descriptor page");
    check(uc_mem_write(uc, kEntryCode, code, sizeof code), "writing the descriptor page");
    const uc_x86_mmr gdtr{0, kDescriptorPage, kGdtLimit, 0};
    check(uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr), "loading the descriptor table");
    // iret pops through SS, which must first describe a 32-bit stack.
    const uint32_t ss = kKernelData, esp = kIretFrame;
    check(uc_reg_write(uc, UC_X86_REG_SS, &ss), "loading SS");
    check(uc_reg_write(uc, UC_X86_REG_ESP, &esp), "setting ESP");
    check(uc_emu_start(uc, kEntryCode, kEntryCode + sizeof code, 0, 0), "entering ring 3");
}

// Replaces the way into ring 3 by the tables, points the other descriptor
// registers at them and gives CR0 the machine status word of both engines. The entry code was translated in ring 3 as
// well, and a jump to it would find that translation, which the page's
// protection does not take away.
void finishDescriptorPage(uc_engine *uc)
{
    uint8_t page[kPageSize] = {};
    writeDescriptorTables(page);
    check(uc_mem_write(uc, kDescriptorPage, page, sizeof page), "writing the descriptor page");
    const uc_x86_mmr idtr{0, kDescriptorPage + kIdtOffset, kIdtLimit, 0}, ldtr{0, 0, 0, 0};
    // A busy 32-bit TSS, present, as the emulated CPU keeps its descriptor.
    const uc_x86_mmr tr{kTssSelector, kDescriptorPage + kTssOffset, kTssLimit, 0x8B00};
    check(uc_reg_write(uc, UC_X86_REG_IDTR, &idtr), "loading the interrupt table");
    check(uc_reg_write(uc, UC_X86_REG_LDTR, &ldtr), "loading the null LDT");
    check(uc_reg_write(uc, UC_X86_REG_TR, &tr), "loading the task register");
    const uint32_t cr0 = kMachineStatusWord;
    check(uc_reg_write(uc, UC_X86_REG_CR0, &cr0), "setting CR0");
    check(uc_ctl_remove_cache(uc, uint64_t{kDescriptorPage}, uint64_t{kDescriptorPage} + kPageSize),
          "forgetting the entry code");
    check(uc_mem_protect(uc, kDescriptorPage, kPageSize, UC_PROT_READ), "protecting the descriptor page");
}

// Stops the CPU at the deadline from a thread of its own, so that no guest
// instruction pays for watching the clock. A stop asked for while no block
// runs (the guest is in a kernel call) is lost, so it is asked again until
// the run ends. Given a flag, the timer only raises it, for the guest's own
// thread to stop at the start of the next block.
class DeadlineTimer {
public:
    DeadlineTimer(uc_engine *uc, const Deadline &deadline, std::atomic<bool> *flag) : flag_(flag)
    {
        if (!deadline)
            return;
        // Signals are for the runner's own thread, which may be holding them
        // back for a moment; the timer never takes one.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        thread_ = std::thread([this, uc, at = deadline.at()] { watch(uc, at); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    ~DeadlineTimer()
    {
        if (!thread_.joinable())
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    DeadlineTimer(const DeadlineTimer &) = delete;
    DeadlineTimer &operator=(const DeadlineTimer &) = delete;

    bool fired() const { return fired_; }

private:
    void watch(uc_engine *uc, Deadline::Clock::time_point at)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_until(lock, at, [&] { return done_; }))
            return;
        fired_ = true;
        if (flag_) {
            flag_->store(true, std::memory_order_relaxed);
            return;
        }
        do
            uc_emu_stop(uc);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(10), [&] { return done_; }));
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<bool> fired_ = false;
    std::atomic<bool> *flag_;
};

} // namespace

UnicornEngine::UnicornEngine(Options options)
    : counting_(options.counting || options.stepping), stepping_(options.stepping)
{
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "starting the CPU emulator");
#ifdef uc_ctl_set_tcg_buffer_size
    check(uc_ctl_set_tcg_buffer_size(uc_, kTranslationCacheBytes), "sizing the translation cache");
#endif
    MachineHooks::install(*this);

    enterUserMode(uc_);
    finishDescriptorPage(uc_);
    insns_ = 0; // the way into ring 3 is no guest instruction
    granted_ = 0;
    const uint16_t control = kFpuControl, status = 0, tags = kFpuTagsEmpty;
    const uint32_t mxcsr = kMxcsrDefault, eflags = kEflagsDefault, esp = 0;
    uc_reg_write(uc_, UC_X86_REG_FPCW, &control);
    uc_reg_write(uc_, UC_X86_REG_FPSW, &status);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tags);
    uc_reg_write(uc_, UC_X86_REG_MXCSR, &mxcsr);
    uc_reg_write(uc_, UC_X86_REG_EFLAGS, &eflags);
    uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
}

UnicornEngine::~UnicornEngine()
{
    if (uc_)
        uc_close(uc_);
    for (Region &r : regions_)
        munmap(r.host, r.size);
}

void UnicornEngine::emptyFpuStack()
{
    uint16_t status = 0;
    const uint16_t tags = kFpuTagsEmpty;
    uc_reg_read(uc_, UC_X86_REG_FPSW, &status);
    status &= static_cast<uint16_t>(~0x3800u); // top of stack back to 0
    uc_reg_write(uc_, UC_X86_REG_FPSW, &status);
    uc_reg_write(uc_, UC_X86_REG_FPTAG, &tags);
}

void UnicornEngine::halt()
{
    halted_ = true;
    if (stepping_ || !counting_)
        uc_emu_stop(uc_);
}

void UnicornEngine::stopWith(Stop::Kind kind, std::string fault, uint32_t address)
{
    stop_ = Stop{kind, {std::move(fault), address}};
    faultEip_.reset();
    uc_emu_stop(uc_);
}

void UnicornEngine::faultAt(std::string what, uint32_t address, uint32_t eip, bool stopEmulator)
{
    stop_ = Stop{Stop::Fault, {std::move(what), address}};
    faultEip_ = eip;
    if (stopEmulator)
        uc_emu_stop(uc_);
}

Stop UnicornEngine::run(uint32_t begin, std::optional<uint32_t> until, Task &task, const RunLimits &limits,
                        const DebugControls *debug)
{
    task_ = &task;
    stop_.reset();
    blockAt_.reset();
    // A total of this engine's own starts from what it has counted so far.
    ownSpent_ = insns_;
    spent_ = limits.spent ? limits.spent : &ownSpent_;
    insnLimit_ = !limits.maxInsns ? UINT64_MAX : limits.spent ? limits.maxInsns : insns_ + limits.maxInsns;
    halted_ = false;
    timeUp_ = false;
    limitBlock_.reset();
    blockInsns_ = 0;
    debug_ = debug;
    firstInsn_ = true;
    // Without a return address the stop address is 0, which is never mapped:
    // arriving there is a jump to address 0.
    uc_err err;
    bool timedOut;
    {
        const DeadlineTimer timer(uc_, task.deadline(), counting_ && !stepping_ ? &timeUp_ : nullptr);
        err = uc_emu_start(uc_, begin, until.value_or(0), 0, 0);
        if (limitBlock_ && !stop_ && !timeUp_ && !halted_ && err == UC_ERR_OK)
            runLimitedBlock(*limitBlock_, until);
        timedOut = timer.fired();
    }
    task_ = nullptr;
    if (!stop_ && timedOut)
        stop_ = Stop{Stop::Timeout, {}};
    if (!stop_ && halted_)
        stop_ = Stop{Stop::Halted, {}};
    debug_ = nullptr;
    if (pending_)
        std::rethrow_exception(std::exchange(pending_, nullptr));
    const uint32_t eip = reg(Reg::Eip);
    Stop s = stop_ ? *stop_ : unexplainedStop(err, until, eip);
    s.fault.esp = reg(Reg::Esp);
    s.fault.ebp = reg(Reg::Ebp);
    s.fault.eip = faultingInstruction(s, eip);
    returnGrant();
    if (profiler_)
        profiler_->countInstructions(std::exchange(unprofiled_, 0));
    return s;
}

// A stop that no hook recorded: a return or a jump to address 0.
Stop UnicornEngine::unexplainedStop(int err, std::optional<uint32_t> until, uint32_t eip) const
{
    if (err != UC_ERR_OK)
        return {Stop::Fault, {uc_strerror(static_cast<uc_err>(err)), eip}};
    if (until && eip == *until)
        return {Stop::Returned, {{}, eip}};
    if (eip == 0)
        return {Stop::Fault, {"execution of unmapped address " + hexAddress(0), 0}};
    return {Stop::Fault, {"emulation stopped", eip}};
}

} // namespace zylos
