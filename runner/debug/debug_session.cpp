#include "runner/debug/debug_session.h"

#include "runner/debug/gdb_stub.h"

#include <unicorn/unicorn.h>

#include <csignal>
#include <iterator>

namespace zylos {
namespace {

// gdb's i386 register numbers (gdb_registers.h) in the emulator's names.
constexpr int kEmulatorRegisters[] = {
    UC_X86_REG_EAX,  UC_X86_REG_ECX,  UC_X86_REG_EDX,   UC_X86_REG_EBX,    UC_X86_REG_ESP,   UC_X86_REG_EBP,
    UC_X86_REG_ESI,  UC_X86_REG_EDI,  UC_X86_REG_EIP,   UC_X86_REG_EFLAGS, UC_X86_REG_CS,    UC_X86_REG_SS,
    UC_X86_REG_DS,   UC_X86_REG_ES,   UC_X86_REG_FS,    UC_X86_REG_GS,     UC_X86_REG_ST0,   UC_X86_REG_ST1,
    UC_X86_REG_ST2,  UC_X86_REG_ST3,  UC_X86_REG_ST4,   UC_X86_REG_ST5,    UC_X86_REG_ST6,   UC_X86_REG_ST7,
    UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_FCS,    UC_X86_REG_FIP,   UC_X86_REG_FDS,
    UC_X86_REG_FDP,  UC_X86_REG_FOP,  UC_X86_REG_XMM0,  UC_X86_REG_XMM1,   UC_X86_REG_XMM2,  UC_X86_REG_XMM3,
    UC_X86_REG_XMM4, UC_X86_REG_XMM5, UC_X86_REG_XMM6,  UC_X86_REG_XMM7,   UC_X86_REG_MXCSR,
};
static_assert(std::size(kEmulatorRegisters) == kDebugRegisters);

class EmulatorTarget final : public DebugTarget {
public:
    EmulatorTarget(UnicornEngine &m, Task &task, const RunLimits &limits, uint32_t entry)
        : m_(m), task_(task), limits_(limits), stop_{Stop::Paused, {{}, entry, entry}}
    {
        m_.setReg(Reg::Eip, entry);
    }

    bool readRegister(unsigned n, uint8_t *out) override
    {
        return n < kDebugRegisters && m_.readRegisterBytes(kEmulatorRegisters[n], out, debugRegisterSize(n));
    }
    bool writeRegister(unsigned n, const uint8_t *in) override
    {
        return n < kDebugRegisters && m_.writeRegisterBytes(kEmulatorRegisters[n], in, debugRegisterSize(n));
    }
    bool readMemory(uint32_t addr, uint8_t *out, size_t n) override { return m_.read(addr, out, n); }
    bool writeMemory(uint32_t addr, const uint8_t *in, size_t n) override { return m_.write(addr, in, n); }

    DebugEvent resume(bool step, const std::set<uint32_t> &breakpoints,
                      const std::function<bool()> &interrupted) override
    {
        // A fault was shown to the debugger; going on from it ends the run.
        if (stop_.kind == Stop::Fault)
            return {DebugEvent::Ended, SIGSEGV};
        bool wasInterrupted = false;
        const DebugControls controls{&breakpoints, step, [&] { return wasInterrupted = interrupted(); }};
        stop_ = runOn(&controls);
        switch (stop_.kind) {
        case Stop::Paused: return {DebugEvent::Stopped, wasInterrupted ? SIGINT : SIGTRAP};
        case Stop::Fault: return {DebugEvent::Stopped, SIGSEGV};
        case Stop::Exited: return {DebugEvent::Exited, 0, task_.exitStatus() & 0xFF};
        default: return {DebugEvent::Ended, SIGKILL}; // a limit
        }
    }

    // The run's limits hold over all resumes together.
    Stop runOn(const DebugControls *controls)
    {
        RunLimits left = limits_;
        if (limits_.maxInsns) {
            if (m_.instructions() >= limits_.maxInsns)
                return {Stop::InsnLimit, {{}, 0, m_.reg(Reg::Eip)}};
            left.maxInsns = limits_.maxInsns - m_.instructions();
        }
        return m_.run(m_.reg(Reg::Eip), std::nullopt, task_, left, controls);
    }

    const Stop &stop() const { return stop_; }

private:
    UnicornEngine &m_;
    Task &task_;
    const RunLimits limits_;
    Stop stop_;
};

} // namespace

std::optional<Stop> runUnderGdb(UnicornEngine &m, Task &task, const RunLimits &limits, uint32_t entry, int listenFd)
{
    EmulatorTarget target(m, task, limits, entry);
    switch (serveGdb(listenFd, target, task.deadline())) {
    case GdbOutcome::Ended: return target.stop();
    case GdbOutcome::Killed: return std::nullopt;
    case GdbOutcome::TimedOut: return Stop{Stop::Timeout, {{}, 0, target.stop().fault.eip}};
    case GdbOutcome::Detached: break;
    }
    if (target.stop().kind == Stop::Paused)
        return target.runOn(nullptr);
    return target.stop();
}

} // namespace zylos
