// The CPU backend: an i386 guest under Unicorn, with memory held in host
// buffers (so the kernel reads and writes it directly, bounds-checked), and
// every stop of the guest reported as an exit, a return, a fault or a limit.
#pragma once

#include "runner/engines/engine.h"
#include "runner/kernel/guest_memory.h"
#include "runner/kernel/layout.h"
#include "runner/kernel/task.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct uc_struct;
struct uc_context;

namespace zylos {

// What follows the guest block by block as it runs, to charge instructions
// to where they ran (the profiler).
class FlowObserver {
public:
    virtual ~FlowObserver() = default;
    // The guest enters the block at eip with this stack pointer.
    virtual void enterBlock(uint32_t eip, uint32_t esp) = 0;
    // n more instructions ran where the guest last entered.
    virtual void countInstructions(uint64_t n) = 0;
};

// What a debugger asks of a run: stop before any breakpoint (except at the
// first instruction, where the guest stopped last), before the second
// instruction when stepping, or when interrupted() answers true (asked every
// 65536 instructions). Needs a machine created with stepping on.
struct DebugControls {
    const std::set<uint32_t> *breakpoints = nullptr;
    bool step = false;
    std::function<bool()> interrupted;
};

class UnicornEngine final : public Engine {
public:
    struct Options {
        // Counts instructions, as limits, counts and profiles need: a whole
        // translated block at its start, and instruction by instruction only
        // the block in which a limit falls. The hook has to exist before the
        // first run.
        bool counting = false;
        // Counts with a hook at every instruction instead, as a debugger needs.
        bool stepping = false;
    };
    explicit UnicornEngine(Options options);
    ~UnicornEngine() override;
    UnicornEngine(const UnicornEngine &) = delete;
    UnicornEngine &operator=(const UnicornEngine &) = delete;

    struct Region {
        uint32_t base, size;
        unsigned perms;
        uint8_t *host; // where the guest's bytes are held
        // Read and write only: the emulator's fast store path may be used.
        bool plainData() const { return perms == (kPermRead | kPermWrite); }
    };
    uint8_t *map(uint32_t addr, uint32_t size, unsigned perms) override;
    // What map() has mapped, in address order.
    const std::vector<Region> &regions() const { return regions_; }

    // The CPU state and the content of the writable regions at one moment,
    // as calls into an image put them back before each call.
    class Snapshot {
    public:
        Snapshot() = default;
        ~Snapshot();
        Snapshot(const Snapshot &) = delete;
        Snapshot &operator=(const Snapshot &) = delete;

    private:
        friend class UnicornEngine;
        struct Pages {
            uint32_t offset, size;
            bool zero;
        };
        struct Saved {
            uint8_t *host;
            uint32_t base;
            bool code; // executable: what was translated from it goes when it is put back
            std::vector<uint8_t> pristine;
            std::vector<Pages> runs; // the region in runs of zero and other pages
        };
        std::vector<Saved> memory_;
        uc_context *cpu_ = nullptr;
    };
    // Takes the CPU state and every writable region mapped so far; restore()
    // puts both back. Pages that were zero are handed back to the host, which
    // has work only for those the guest touched; the others are copied.
    void save(Snapshot &s) const;
    // Takes the CPU state alone, for a change of it that restore() is to keep.
    void saveCpu(Snapshot &s) const;
    void restore(const Snapshot &s);
    // Gives the guest a flat GS data segment based at base, its descriptor
    // in a read-only table page mapped at table: some C libraries find their
    // thread pointer through %gs.
    void setGsSegment(uint32_t table, uint32_t base);

    uint32_t reg(Reg r) const override;
    void setReg(Reg r, uint32_t v) override;
    std::array<uint8_t, 10> st0() const;
    // Any register by the emulator's number (UC_X86_REG_*), its first size
    // bytes (at most 16), for a debugger. Segment registers cannot be
    // written, and of eflags only the arithmetic flags and the direction flag.
    bool readRegisterBytes(int id, uint8_t *out, size_t size) const;
    bool writeRegisterBytes(int id, const uint8_t *in, size_t size);
    // Marks every x87 register empty, keeping the control word.
    void emptyFpuStack();

    // Runs from begin until the guest exits, reaches until (when given),
    // faults or hits a limit. Rethrows what a kernel call threw.
    Stop run(uint32_t begin, std::optional<uint32_t> until, Task &task, const RunLimits &limits,
             const DebugControls *debug = nullptr);
    Stop run(uint32_t begin, Task &task, const RunLimits &limits) override
    {
        return run(begin, std::nullopt, task, limits);
    }
    void halt() override;
    // Tells p of every block and instruction from now on (with counting on);
    // call before the first run.
    void profileWith(FlowObserver *p);
    // Instructions executed over all runs (with counting on).
    uint64_t instructions() const { return insns_; }

    bool accessible(uint32_t addr, size_t n, bool forWrite) const override;
    bool read(uint32_t addr, void *out, size_t n) const override;
    // A write into executable memory drops what was translated from it, as
    // the emulator notices only the guest's own stores into code.
    bool write(uint32_t addr, const void *in, size_t n) override;

private:
    const Region *regionAt(uint64_t addr) const;
    // Puts the hooks for bad accesses over every address but those of the
    // plain data regions (read and write only), whose stores the emulator
    // takes on its fast path only where no memory hook lies.
    void coverBadAccesses();
    void dropTranslations(uint32_t addr, uint64_t n);
    void stopWith(Stop::Kind kind, std::string fault = {}, uint32_t address = 0);
    // A fault whose instruction is known where it is found; a hook that
    // returns false to Unicorn stops the emulator itself.
    void faultAt(std::string what, uint32_t address, uint32_t eip, bool stopEmulator = true);
    Stop unexplainedStop(int err, std::optional<uint32_t> until, uint32_t eip) const;
    uint32_t faultingInstruction(const Stop &s, uint32_t eip);
    uint32_t replayFault(uint32_t blockStart, const FaultRecord &fault);
    uint32_t blockLength(uint32_t start, uint32_t size);
    bool charge(uint32_t insns);
    void returnGrant();
    void refund(uint32_t insns);
    Stop runLimitedBlock(uint32_t start, std::optional<uint32_t> until);

    friend struct MachineHooks; // the emulator's callbacks, in unicorn_hooks.cpp

    uc_struct *uc_ = nullptr;
    std::vector<Region> regions_; // sorted by base
    std::vector<size_t> badAccessHooks_;
    Task *task_ = nullptr;
    std::optional<Stop> stop_;
    std::optional<uint32_t> faultEip_; // the faulting instruction, when a hook knew it
    bool counting_, stepping_;
    std::optional<uint32_t> blockAt_; // where the block of a fault began, when a hook saw it
    uint32_t insnAt_ = 0;             // the instruction being executed, when counting or replaying
    // An exception from a kernel call waits here to be rethrown by run(), as
    // it must not unwind through the emulator.
    std::exception_ptr pending_;
    const DebugControls *debug_ = nullptr;
    bool firstInsn_ = false; // no instruction of this run has started yet
    // A block that would have crossed the limit was not entered: where it
    // starts and its size in bytes.
    std::optional<uint32_t> limitBlock_;
    uint32_t limitBlockSize_ = 0;
    uint32_t replayed_ = 0;   // instructions a replay ran up to the fault
    uint64_t unprofiled_ = 0; // charged, not yet given to the profiler
    uint64_t insnLimit_ = UINT64_MAX;
    std::atomic<uint64_t> ownSpent_ = 0;
    std::atomic<uint64_t> *spent_ = &ownSpent_; // the run's total: shared, or this engine's own

    // What the block hook looks at before every block, together.
    bool replaying_ = false;
    bool finishing_ = false; // the block in which the limit falls runs instruction by instruction
    std::atomic<bool> timeUp_ = false;
    std::atomic<bool> halted_ = false;
    FlowObserver *profiler_ = nullptr;
    uint64_t granted_ = 0; // taken from the run's total, not yet used
    uint64_t insns_ = 0;
    // The block that was entered last and charged whole: where it starts
    // and its instructions.
    uint32_t blockStart_ = 0, blockInsns_ = 0;
    // Instructions per translated block, by start address; an entry holds
    // only while the block keeps its size.
    struct BlockLength {
        uint64_t key = UINT64_MAX; // blockKey(start, size), or no block's
        uint32_t insns = 0;
    };
    static constexpr size_t kBlockLengthSlots = 4096; // a power of two
    static constexpr uint64_t kCodePageBits = (uint64_t{1} << 32) / kPageSize;
    static uint64_t blockKey(uint32_t start, uint32_t size) { return start | uint64_t{size} << 32; }
    BlockLength &lengthSlot(uint32_t start) { return lengths_[(start ^ (start >> 12)) & (kBlockLengthSlots - 1)]; }
    std::unique_ptr<BlockLength[]> lengths_; // with counting on
    // Pages where blocks in that table lie, a bit each: their code may not
    // change unseen, as a block of other instructions could have the same
    // start and size.
    std::unique_ptr<uint64_t[]> codePages_;
    void markCodePages(uint32_t start, uint32_t size);
    // Forgets the lengths of the blocks that lie over changed code.
    void forgetBlockLengths(uint64_t addr, uint64_t n);
};

} // namespace zylos
