#include "runner/engines/unicorn.h"

#include "runner/debug/gdb_stub.h"
#include "runner/debug/profiler.h"
#include "runner/engines/gate.h"
#include "runner/kernel/layout.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
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
// entered once, by an iret from a page above the user range that holds the
// descriptor table, the iret frame and the code; afterwards the page is only
// readable, and no descriptor in it leads back to ring 0.
constexpr uint32_t kSystemPage = 0xFFFFF000;
constexpr uint32_t kIretFrame = kSystemPage + 0x100;
constexpr uint32_t kEntryCode = kSystemPage + 0x200;
// How many instructions a replay of a faulting block may run.
constexpr size_t kMaxReplay = 4096;
// Instructions taken at a time from a total shared with other processes.
constexpr uint64_t kGrant = 1 << 16;
// Slots of the table of block lengths (a power of two).
constexpr size_t kBlockLengthSlots = 4096;
#ifdef uc_ctl_set_tcg_buffer_size
// The translation cache: code of a zylos program fits many times over, and
// the emulator's default reserves a gigabyte that every start pays for in
// page tables.
constexpr size_t kTranslationCacheBytes = 32u << 20;
#endif
constexpr uint8_t kKernelData = 0x08, kUserCode = 0x13, kUserData = 0x1B;

// Flat 4 GiB, 32-bit, present and already marked accessed, so that the CPU
// never writes to the table.
constexpr uint64_t flatSegment(unsigned dpl, bool code)
{
    const uint64_t access = 0x80 | dpl << 5 | 0x10 | (code ? 0xB : 0x3);
    return 0xFFFF | access << 40 | uint64_t{0xCF} << 48;
}

int ucReg(Reg r)
{
    switch (r) {
    case Reg::Eax: return UC_X86_REG_EAX;
    case Reg::Ebx: return UC_X86_REG_EBX;
    case Reg::Ecx: return UC_X86_REG_ECX;
    case Reg::Edx: return UC_X86_REG_EDX;
    case Reg::Esi: return UC_X86_REG_ESI;
    case Reg::Edi: return UC_X86_REG_EDI;
    case Reg::Ebp: return UC_X86_REG_EBP;
    case Reg::Esp: return UC_X86_REG_ESP;
    case Reg::Eip: return UC_X86_REG_EIP;
    case Reg::Eflags: return UC_X86_REG_EFLAGS;
    }
    return UC_X86_REG_INVALID;
}

// The debugger's i386 register order (gdb_stub.h) in the emulator's names.
int debugRegisterId(unsigned n)
{
    static constexpr int kIds[] = {
        UC_X86_REG_EAX,  UC_X86_REG_ECX,  UC_X86_REG_EDX,   UC_X86_REG_EBX,    UC_X86_REG_ESP,   UC_X86_REG_EBP,
        UC_X86_REG_ESI,  UC_X86_REG_EDI,  UC_X86_REG_EIP,   UC_X86_REG_EFLAGS, UC_X86_REG_CS,    UC_X86_REG_SS,
        UC_X86_REG_DS,   UC_X86_REG_ES,   UC_X86_REG_FS,    UC_X86_REG_GS,     UC_X86_REG_ST0,   UC_X86_REG_ST1,
        UC_X86_REG_ST2,  UC_X86_REG_ST3,  UC_X86_REG_ST4,   UC_X86_REG_ST5,    UC_X86_REG_ST6,   UC_X86_REG_ST7,
        UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_FCS,    UC_X86_REG_FIP,   UC_X86_REG_FDS,
        UC_X86_REG_FDP,  UC_X86_REG_FOP,  UC_X86_REG_XMM0,  UC_X86_REG_XMM1,   UC_X86_REG_XMM2,  UC_X86_REG_XMM3,
        UC_X86_REG_XMM4, UC_X86_REG_XMM5, UC_X86_REG_XMM6,  UC_X86_REG_XMM7,   UC_X86_REG_MXCSR,
    };
    static_assert(std::size(kIds) == kDebugRegisters);
    return n < kDebugRegisters ? kIds[n] : UC_X86_REG_INVALID;
}

bool isSegment(int id)
{
    return id == UC_X86_REG_CS || id == UC_X86_REG_SS || id == UC_X86_REG_DS || id == UC_X86_REG_ES ||
           id == UC_X86_REG_FS || id == UC_X86_REG_GS;
}

void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
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

// Loads the descriptor table and irets into ring 3 with flat segments.
void enterUserMode(uc_engine *uc)
{
    const uint64_t table[] = {0, flatSegment(0, false), flatSegment(3, true), flatSegment(3, false)};
    const uint32_t frame[] = {kEntryCode + 1, kUserCode, kEflagsDefault, 0, kUserData};
    // iret; mov eax, kUserData; mov ds, eax; mov es, eax; mov fs, eax; mov gs, eax
    const uint8_t code[] = {0xCF, 0xB8, kUserData, 0, 0, 0, 0x8E, 0xD8, 0x8E, 0xC0, 0x8E, 0xE0, 0x8E, 0xE8};
    check(uc_mem_map(uc, kSystemPage, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "mapping the system page");
    check(uc_mem_write(uc, kSystemPage, table, sizeof table), "writing the system page");
    check(uc_mem_write(uc, kIretFrame, frame, sizeof frame), "writing the system page");
    check(uc_mem_write(uc, kEntryCode, code, sizeof code), "writing the system page");
    const uc_x86_mmr gdtr{0, kSystemPage, sizeof table - 1, 0};
    check(uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr), "loading the descriptor table");
    // iret pops through SS, which must first describe a 32-bit stack.
    const uint32_t ss = kKernelData, esp = kIretFrame;
    check(uc_reg_write(uc, UC_X86_REG_SS, &ss), "loading SS");
    check(uc_reg_write(uc, UC_X86_REG_ESP, &esp), "setting ESP");
    check(uc_emu_start(uc, kEntryCode, kEntryCode + sizeof code, 0, 0), "entering ring 3");
    check(uc_mem_protect(uc, kSystemPage, kPageSize, UC_PROT_READ), "protecting the system page");
}

bool isFetch(uc_mem_type type)
{
    return type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT;
}

// Unicorn reports an int, int3, int1 or into with EIP past it; exceptions
// the CPU raises itself leave EIP on the faulting instruction.
uint32_t interruptingInstruction(const GuestMemory &mem, uint32_t intno, uint32_t eip)
{
    uint8_t before[2] = {};
    if (!mem.read(eip - 1, before + 1, 1))
        return eip;
    if (mem.read(eip - 2, before, 1) && before[0] == 0xCD && before[1] == intno)
        return eip - 2;
    if ((intno == 3 && before[1] == 0xCC) || (intno == 1 && before[1] == 0xF1) || (intno == 4 && before[1] == 0xCE))
        return eip - 1;
    return eip;
}

// Stops the CPU at the deadline from a thread of its own, so that no guest
// instruction pays for watching the clock. A stop asked for while no block
// runs (the guest is in a kernel call) is lost, so it is asked again until
// the run ends. Given a flag, the timer only raises it, for the guest's own
// thread to stop at the start of the next block.
class DeadlineTimer {
public:
    DeadlineTimer(uc_engine *uc, std::optional<Task::Clock::time_point> deadline, std::atomic<bool> *flag)
        : flag_(flag)
    {
        if (!deadline)
            return;
        // Signals are for the runner's own thread, which may be holding them
        // back for a moment; the timer never takes one.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        thread_ = std::thread([this, uc, at = *deadline] { watch(uc, at); });
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
    void watch(uc_engine *uc, Task::Clock::time_point at)
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

struct MachineHooks {
    static UnicornEngine &of(void *self) { return *static_cast<UnicornEngine *>(self); }

    // The instruction about to run, unless a hook already ended the run: an
    // instruction hook's stop takes effect only after its instruction.
    static void record(UnicornEngine &m, uint64_t address)
    {
        if (!m.stop_)
            m.insnAt_ = static_cast<uint32_t>(address);
    }

    static void replayed(uc_engine *, uint64_t address, uint32_t, void *self)
    {
        UnicornEngine &m = of(self);
        if (!m.stop_)
            ++m.replayed_;
        record(m, address);
    }

    static void code(uc_engine *, uint64_t address, uint32_t, void *self)
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

    // Charges a whole translated block as it starts. Stops asked for from
    // other threads are taken here, before the block runs, so that nothing
    // is charged for a block that does not.
    static void countBlock(uc_engine *uc, uint64_t address, uint32_t size, void *self)
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
                m.blockSize_ = size;
                uc_emu_stop(uc);
                return;
            }
        }
        m.blockStart_ = start;
        m.blockSize_ = size;
        m.blockInsns_ = insns;
        if (m.profiler_) {
            // The previous block's instructions belong to the frame it ran in.
            m.profiler_->countInstructions(std::exchange(m.unprofiled_, insns));
            m.profiler_->enterBlock(start, m.reg(Reg::Esp));
        }
    }

    // Counts the instruction about to run against the limit, in the run's
    // total when all processes share one.
    static bool withinLimit(UnicornEngine &m)
    {
        if (!m.spent_)
            return m.insns_ != m.insnLimit_;
        if (m.spent_->fetch_add(1, std::memory_order_relaxed) < m.insnLimit_)
            return true;
        m.spent_->fetch_sub(1, std::memory_order_relaxed); // it does not run
        return false;
    }

    static void block(uc_engine *, uint64_t address, uint32_t, void *self)
    {
        UnicornEngine &m = of(self);
        m.profiler_->enterBlock(static_cast<uint32_t>(address), m.reg(Reg::Esp));
    }

    static bool debugStop(UnicornEngine &m, uint32_t address)
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
    static void interrupt(uc_engine *, uint32_t intno, void *self)
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
            const uint32_t eip = interruptingInstruction(m, intno, m.reg(Reg::Eip));
            m.faultAt(intno == 13 ? privilegedText(m, eip) : interruptText(intno), eip, eip);
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
            stop = serveKernelCall(*m.task_, m, regs, m.deadline_);
            m.setReg(Reg::Eax, regs.eax);
        } catch (...) {
            m.pending_ = std::current_exception();
            m.stopWith(Stop::Fault, "kernel call failed");
            return;
        }
        if (stop)
            m.stopWith(*stop);
    }

    static bool badAccess(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *self)
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

    static bool invalidInstruction(uc_engine *, void *self)
    {
        UnicornEngine &m = of(self);
        const uint32_t eip = m.reg(Reg::Eip);
        m.faultAt("invalid instruction", eip, eip, false);
        return false;
    }

    static uint32_t portIn(uc_engine *, uint32_t, int, void *self)
    {
        UnicornEngine &m = of(self);
        m.blockAt_ = m.reg(Reg::Eip);
        m.stopWith(Stop::Fault, "privileged instruction (in)", *m.blockAt_);
        return 0;
    }

    static void portOut(uc_engine *, uint32_t, int, uint32_t, void *self)
    {
        UnicornEngine &m = of(self);
        m.blockAt_ = m.reg(Reg::Eip);
        m.stopWith(Stop::Fault, "privileged instruction (out)", *m.blockAt_);
    }

    // The emulator would run these as no-ops; the zylos kernel is reached
    // through int 0x80 only.
    static void fastSystemCall(uc_engine *, void *self)
    {
        UnicornEngine &m = of(self);
        m.blockAt_ = m.reg(Reg::Eip);
        m.stopWith(Stop::Fault, "invalid instruction (sysenter/syscall)", *m.blockAt_);
    }
};

UnicornEngine::UnicornEngine(Options options) : counting_(options.counting || options.stepping), stepping_(options.stepping)
{
    check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc_), "starting the CPU emulator");
#ifdef uc_ctl_set_tcg_buffer_size
    check(uc_ctl_set_tcg_buffer_size(uc_, kTranslationCacheBytes), "sizing the translation cache");
#endif
    // Every hook is in place before the first instruction is translated.
    uc_hook h;
    check(uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(MachineHooks::interrupt), this, 1, 0), "hook");
    check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(MachineHooks::badAccess), this, 1, 0),
          "hook");
    check(uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(MachineHooks::invalidInstruction), this,
                      1, 0),
          "hook");
    check(uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(MachineHooks::portIn), this, 1, 0, UC_X86_INS_IN),
          "hook");
    check(
        uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(MachineHooks::portOut), this, 1, 0, UC_X86_INS_OUT),
        "hook");
    for (const int insn : {UC_X86_INS_SYSENTER, UC_X86_INS_SYSCALL})
        check(uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(MachineHooks::fastSystemCall), this, 1, 0,
                          insn),
              "hook");
    if (stepping_)
        check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(MachineHooks::code), this, 1, 0), "hook");
    else if (counting_) {
        lengths_.resize(kBlockLengthSlots);
        check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(MachineHooks::countBlock), this, 1, 0),
              "hook");
    }

    enterUserMode(uc_);
    insns_ = 0; // the way into ring 3 is no guest instruction
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

uint8_t *UnicornEngine::map(uint32_t addr, uint32_t size, unsigned perms)
{
    void *host = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (host == MAP_FAILED)
        throw std::runtime_error("cannot allocate " + std::to_string(size) + " bytes of guest memory");
    const uc_err err = uc_mem_map_ptr(uc_, addr, size, perms, host);
    if (err != UC_ERR_OK) {
        munmap(host, size);
        throw std::runtime_error("cannot map guest memory at " + hexAddress(addr) + ": " + uc_strerror(err));
    }
    insertRegion(regions_, Region{addr, size, perms, static_cast<uint8_t *>(host)});
    return static_cast<uint8_t *>(host);
}

void UnicornEngine::profileWith(Profiler *p)
{
    profiler_ = p;
    if (!stepping_)
        return; // the counting hook follows the blocks
    uc_hook h;
    check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(MachineHooks::block), this, 1, 0), "hook");
}

uint32_t UnicornEngine::reg(Reg r) const
{
    uint32_t v = 0;
    uc_reg_read(uc_, ucReg(r), &v);
    return v;
}

void UnicornEngine::setReg(Reg r, uint32_t v)
{
    uc_reg_write(uc_, ucReg(r), &v);
}

std::array<uint8_t, 10> UnicornEngine::st0() const
{
    uint8_t raw[16] = {};
    uc_reg_read(uc_, UC_X86_REG_ST0, raw);
    std::array<uint8_t, 10> out;
    std::memcpy(out.data(), raw, out.size());
    return out;
}

bool UnicornEngine::readDebugRegister(unsigned n, uint8_t *out) const
{
    const int id = debugRegisterId(n);
    if (id == UC_X86_REG_INVALID)
        return false;
    uint8_t raw[16] = {};
    uc_reg_read(uc_, id, raw);
    std::memcpy(out, raw, debugRegisterSize(n));
    return true;
}

bool UnicornEngine::writeDebugRegister(unsigned n, const uint8_t *in)
{
    const int id = debugRegisterId(n);
    if (id == UC_X86_REG_INVALID || isSegment(id))
        return false;
    uint8_t raw[16] = {};
    uc_reg_read(uc_, id, raw);
    if (id == UC_X86_REG_EFLAGS) {
        // Only what a program can change itself; IOPL, the trap flag and the
        // rest stay as the ring-3 set-up has them.
        constexpr uint32_t kUserFlags = 0x0CD5;
        uint32_t now = 0, wanted = 0;
        std::memcpy(&now, raw, 4);
        std::memcpy(&wanted, in, 4);
        now = (now & ~kUserFlags) | (wanted & kUserFlags);
        std::memcpy(raw, &now, 4);
    } else {
        std::memcpy(raw, in, debugRegisterSize(n));
    }
    return uc_reg_write(uc_, id, raw) == UC_ERR_OK;
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

uint32_t UnicornEngine::blockLength(uint32_t start, uint32_t size)
{
    BlockLength &slot = lengths_[(start ^ (start >> 12)) & (kBlockLengthSlots - 1)];
    if (slot.start != start || slot.size != size || !slot.insns) {
        uc_tb tb{};
        check(uc_ctl_request_cache(uc_, start, &tb), "looking up a translated block");
        slot = {start, size, tb.icount};
    }
    return slot.insns;
}

// Takes insns from what the limit leaves, all or nothing. A total shared
// with other processes is drawn on in grants, not at every block; a block
// that the last of it cannot pay for gives back what this machine holds, so
// that its instructions can be counted one by one up to the exact limit.
bool UnicornEngine::charge(uint32_t insns)
{
    if (!spent_) {
        if (insnLimit_ - insns_ < insns)
            return false;
        insns_ += insns;
        return true;
    }
    if (granted_ < insns) {
        uint64_t before = spent_->load(std::memory_order_relaxed), take;
        do {
            take = std::min<uint64_t>(std::max<uint64_t>(kGrant, insns), insnLimit_ - std::min(before, insnLimit_));
            if (granted_ + take < insns) {
                returnGrant();
                return false;
            }
        } while (!spent_->compare_exchange_weak(before, before + take, std::memory_order_relaxed));
        granted_ += take;
    }
    granted_ -= insns;
    insns_ += insns;
    return true;
}

void UnicornEngine::returnGrant()
{
    if (spent_ && granted_)
        spent_->fetch_sub(std::exchange(granted_, 0), std::memory_order_relaxed);
}

void UnicornEngine::refund(uint32_t insns)
{
    insns_ -= insns;
    if (spent_)
        spent_->fetch_sub(insns, std::memory_order_relaxed);
    unprofiled_ -= std::min<uint64_t>(unprofiled_, insns);
}

// Runs the block that a limit falls in with an instruction hook, which
// stops exactly at the limit; the block is translated again, with the hook,
// and afterwards once more without it.
Stop UnicornEngine::runLimitedBlock(uint32_t start, std::optional<uint32_t> until)
{
    const uint64_t end = uint64_t{start} + std::max<uint32_t>(blockSize_, 1);
    uc_hook h;
    uc_ctl_remove_cache(uc_, start, end);
    check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(MachineHooks::code), this, start, end - 1),
          "hook");
    finishing_ = true;
    const uc_err err = uc_emu_start(uc_, start, until.value_or(0), 0, 0);
    finishing_ = false;
    uc_hook_del(uc_, h);
    uc_ctl_remove_cache(uc_, start, end);
    return stop_ ? *stop_ : unexplainedStop(err, until, reg(Reg::Eip));
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
    spent_ = limits.spent;
    insnLimit_ = !limits.maxInsns ? UINT64_MAX : spent_ ? limits.maxInsns : insns_ + limits.maxInsns;
    halted_ = false;
    timeUp_ = false;
    limitBlock_.reset();
    blockInsns_ = 0;
    deadline_ = limits.deadline;
    debug_ = debug;
    firstInsn_ = true;
    // Without a return address the stop address is 0, which is never mapped:
    // arriving there is a jump to address 0.
    uc_err err;
    bool timedOut;
    {
        const DeadlineTimer timer(uc_, deadline_, counting_ && !stepping_ ? &timeUp_ : nullptr);
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

uint32_t UnicornEngine::faultingInstruction(const Stop &s, uint32_t eip)
{
    if (!stop_ || s.kind != Stop::Fault)
        return eip;
    if (faultEip_)
        return *faultEip_;
    if (stepping_)
        return insnAt_;
    // Counting, the block is known from its start; the instructions after
    // the faulting one did not run, though the block was charged whole.
    const bool charged = blockInsns_ != 0;
    const uint32_t at = replayFault(charged ? blockStart_ : blockAt_.value_or(eip), s.fault);
    if (charged && replayed_ && replayed_ <= blockInsns_)
        refund(blockInsns_ - replayed_);
    return at;
}

// Without the counting hook, Unicorn knows only the start of the translated
// block in which a load, a store or a hooked instruction faulted. The guest is over, so the block is
// run again from there, its instructions recorded, until the same access
// faults; the registers are put back afterwards. Should the replay take
// another way, the block's start is all that can be said.
uint32_t UnicornEngine::replayFault(uint32_t blockStart, const FaultRecord &fault)
{
    uc_context *cpu = nullptr;
    if (uc_context_alloc(uc_, &cpu) != UC_ERR_OK)
        return blockStart;
    uc_context_save(uc_, cpu);
    insnAt_ = blockStart;
    replayed_ = 0;
    uc_hook h;
    const uint64_t end = uint64_t{blockStart} + kPageSize;
    const std::optional<Stop> original = std::exchange(stop_, std::nullopt);
    // The block was translated without the hook; it is translated again.
    uc_ctl_remove_cache(uc_, blockStart, end);
    if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(MachineHooks::replayed), this, blockStart,
                    end - 1) == UC_ERR_OK) {
        replaying_ = true;
        uc_emu_start(uc_, blockStart, 0, 0, kMaxReplay);
        replaying_ = false;
        uc_hook_del(uc_, h);
        uc_ctl_remove_cache(uc_, blockStart, end);
    }
    // The text names the address of a bad access, so an equal text is the same fault.
    const bool same = stop_ && stop_->kind == Stop::Fault && stop_->fault.what == fault.what;
    if (!same)
        replayed_ = 0;
    stop_ = original;
    uc_context_restore(uc_, cpu);
    uc_context_free(cpu);
    return same ? insnAt_ : blockStart;
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

const UnicornEngine::Region *UnicornEngine::regionAt(uint64_t addr) const
{
    return regionHolding(regions_, addr);
}

template <typename F>
bool UnicornEngine::walk(uint32_t addr, size_t n, unsigned need, F &&f) const
{
    if (n > (uint64_t{1} << 32))
        return false;
    const uint64_t end = uint64_t{addr} + n;
    for (uint64_t at = addr; at < end;) {
        const Region *r = regionAt(at);
        if (!r || (r->perms & need) != need)
            return false;
        const uint64_t stop = std::min<uint64_t>(end, uint64_t{r->base} + r->size);
        f(r->host + (at - r->base), static_cast<size_t>(at - addr), static_cast<size_t>(stop - at));
        at = stop;
    }
    return true;
}

bool UnicornEngine::accessible(uint32_t addr, size_t n, bool forWrite) const
{
    return walk(addr, n, forWrite ? kPermWrite : kPermRead, [](uint8_t *, size_t, size_t) {});
}

bool UnicornEngine::read(uint32_t addr, void *out, size_t n) const
{
    return accessible(addr, n, false) && walk(addr, n, kPermRead, [&](uint8_t *host, size_t done, size_t len) {
               std::memcpy(static_cast<uint8_t *>(out) + done, host, len);
           });
}

bool UnicornEngine::write(uint32_t addr, const void *in, size_t n)
{
    return accessible(addr, n, true) && walk(addr, n, kPermWrite, [&](uint8_t *host, size_t done, size_t len) {
               std::memcpy(host, static_cast<const uint8_t *>(in) + done, len);
           });
}

} // namespace zylos
