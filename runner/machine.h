// The CPU backend: an i386 guest under Unicorn, with memory held in host
// buffers (so the kernel reads and writes it directly, bounds-checked), and
// every stop of the guest reported as an exit, a return, a fault or a limit.
#pragma once

#include "backend.h"
#include "guest_memory.h"
#include "kernel.h"

#include <array>
#include <exception>
#include <functional>
#include <set>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct uc_struct;
struct uc_context;

namespace zylos {

class Profiler;

// What a debugger asks of a run: stop before any breakpoint (except at the
// first instruction, where the guest stopped last), before the second
// instruction when stepping, or when interrupted() answers true (asked every
// 65536 instructions). Needs a machine created with counting on.
struct DebugControls {
    const std::set<uint32_t> *breakpoints = nullptr;
    bool step = false;
    std::function<bool()> interrupted;
};

class Machine final : public Backend {
public:
    // counting installs the instruction-counting hook that limits and
    // instruction counts need; it has to exist before the first run.
    explicit Machine(bool counting);
    ~Machine() override;
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    uint8_t *map(uint32_t addr, uint32_t size, unsigned perms) override;
    // Remembers the content of every writable region mapped so far; restore()
    // puts it back: pages that were zero are handed back to the host, which
    // has work only for those the guest touched, the others are copied.
    void snapshot();
    void restore();
    // Registers as at creation: all zero, x87 as after FNINIT.
    void resetCpu();
    // Gives the guest a flat GS data segment based at base, its descriptor
    // in a read-only table page mapped at table: some C libraries find their
    // thread pointer through %gs. resetCpu() keeps it.
    void setGsSegment(uint32_t table, uint32_t base);

    uint32_t reg(Reg r) const override;
    void setReg(Reg r, uint32_t v) override;
    std::array<uint8_t, 10> st0() const;
    // Registers in the debugger's i386 order (see gdb_stub.h), as many bytes
    // as that register has. Segment registers cannot be written, and of
    // eflags only the arithmetic flags and the direction flag.
    bool readDebugRegister(unsigned n, uint8_t *out) const;
    bool writeDebugRegister(unsigned n, const uint8_t *in);
    // Marks every x87 register empty, keeping the control word.
    void emptyFpuStack();

    // Runs from begin until the guest exits, reaches until (when given),
    // faults or hits a limit. Rethrows what a kernel call threw.
    Stop run(uint32_t begin, std::optional<uint32_t> until, Kernel &kernel, const RunLimits &limits,
             const DebugControls *debug = nullptr);
    Stop run(uint32_t begin, Kernel &kernel, const RunLimits &limits) override
    {
        return run(begin, std::nullopt, kernel, limits);
    }
    // Charges every instruction from now on to its call stack in p (with
    // counting on); call before the first run.
    void profileWith(Profiler *p);
    // Instructions executed over all runs (with counting on).
    uint64_t instructions() const { return insns_; }

    bool accessible(uint32_t addr, size_t n, bool forWrite) const override;
    bool read(uint32_t addr, void *out, size_t n) const override;
    bool write(uint32_t addr, const void *in, size_t n) override;

private:
    struct Region {
        uint32_t base, size;
        unsigned perms;
        uint8_t *host;
        std::vector<uint8_t> pristine;
        struct Pages {
            uint32_t offset, size;
            bool zero;
        };
        std::vector<Pages> runs; // the region in runs of zero and other pages
    };

    const Region *regionAt(uint64_t addr) const;
    template <typename F>
    bool walk(uint32_t addr, size_t n, unsigned need, F &&f) const;
    void stopWith(Stop::Kind kind, std::string fault = {}, uint32_t address = 0);
    // A fault whose instruction is known where it is found; a hook that
    // returns false to Unicorn stops the emulator itself.
    void faultAt(std::string what, uint32_t address, uint32_t eip, bool stopEmulator = true);
    Stop unexplainedStop(int err, std::optional<uint32_t> until, uint32_t eip) const;
    uint32_t faultingInstruction(const Stop &s, uint32_t eip);
    uint32_t replayFault(uint32_t blockStart, const FaultRecord &fault);

    friend struct MachineHooks; // Unicorn's callbacks, in machine.cpp

    uc_struct *uc_ = nullptr;
    uc_context *initialCpu_ = nullptr;
    std::vector<Region> regions_; // sorted by base
    Kernel *kernel_ = nullptr;
    std::optional<Stop> stop_;
    std::optional<uint32_t> faultEip_; // the faulting instruction, when a hook knew it
    bool counting_;
    bool replaying_ = false;
    std::optional<uint32_t> blockAt_; // where the block of a fault began, when a hook saw it
    uint32_t insnAt_ = 0; // the instruction being executed, when counting or replaying
    // An exception from a kernel call waits here to be rethrown by run(), as
    // it must not unwind through the emulator.
    std::exception_ptr pending_;
    uint64_t insns_ = 0;
    uint64_t insnLimit_ = UINT64_MAX;
    std::optional<Kernel::Clock::time_point> deadline_;
    const DebugControls *debug_ = nullptr;
    Profiler *profiler_ = nullptr;
    bool firstInsn_ = false; // no instruction of this run has started yet
};

} // namespace zylos
