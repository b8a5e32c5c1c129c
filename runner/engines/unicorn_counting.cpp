// Instructions counted a translated block at a time, the block in which a
// limit falls run instruction by instruction, and a faulting block replayed
// to find the instruction that faulted.
#include "runner/engines/unicorn_internal.h"
#include "runner/kernel/layout.h"

#include <algorithm>
#include <utility>

namespace zylos {
namespace {

// How many instructions a replay of a faulting block may run.
constexpr size_t kMaxReplay = 4096;
// Instructions taken at a time from a total shared with other processes.
constexpr uint64_t kGrant = 1 << 16;

} // namespace

uint32_t UnicornEngine::blockLength(uint32_t start, uint32_t size)
{
    BlockLength &slot = lengthSlot(start);
    if (slot.key != blockKey(start, size) || !slot.insns) {
        uc_tb tb{};
        check(uc_ctl_request_cache(uc_, uint64_t{start}, &tb), "looking up a translated block");
        slot = {blockKey(start, size), tb.icount};
        markCodePages(start, size);
    }
    return slot.insns;
}

void UnicornEngine::markCodePages(uint32_t start, uint32_t size)
{
    const uint64_t end = uint64_t{start} + std::max<uint32_t>(size, 1);
    for (uint64_t page = start / kPageSize; page * kPageSize < end && page < kCodePageBits; ++page)
        codePages_[page / 64] |= uint64_t{1} << (page % 64);
}

// A scan of the whole table, paid only by a change to a page with counted
// code on it.
void UnicornEngine::forgetBlockLengths(uint64_t addr, uint64_t n)
{
    if (!lengths_ || !n)
        return;
    bool code = false;
    for (uint64_t page = addr / kPageSize; page * kPageSize < addr + n && page < kCodePageBits; ++page)
        code = code || (codePages_[page / 64] >> (page % 64) & 1);
    if (!code)
        return;
    for (size_t i = 0; i < kBlockLengthSlots; ++i) {
        const uint64_t start = lengths_[i].key & UINT32_MAX, size = lengths_[i].key >> 32;
        if (lengths_[i].key != UINT64_MAX && start < addr + n && addr < start + size)
            lengths_[i] = {};
    }
}

// Takes insns from what the limit leaves, all or nothing. The total, which
// other processes may share, is drawn on in grants, not at every block; a block
// that the last of it cannot pay for gives back what this machine holds, so
// that its instructions can be counted one by one up to the exact limit.
bool UnicornEngine::charge(uint32_t insns)
{
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
    if (granted_)
        spent_->fetch_sub(std::exchange(granted_, 0), std::memory_order_relaxed);
}

void UnicornEngine::refund(uint32_t insns)
{
    insns_ -= insns;
    spent_->fetch_sub(insns, std::memory_order_relaxed);
    unprofiled_ -= std::min<uint64_t>(unprofiled_, insns);
}

// Runs the block that a limit falls in with an instruction hook, which
// stops exactly at the limit; the block is translated again, with the hook,
// and afterwards once more without it.
Stop UnicornEngine::runLimitedBlock(uint32_t start, std::optional<uint32_t> until)
{
    const uint64_t end = uint64_t{start} + std::max<uint32_t>(limitBlockSize_, 1);
    uc_hook h;
    uc_ctl_remove_cache(uc_, uint64_t{start}, end);
    check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(MachineHooks::code), this, start, end - 1),
          "hook");
    finishing_ = true;
    const uc_err err = uc_emu_start(uc_, start, until.value_or(0), 0, 0);
    finishing_ = false;
    uc_hook_del(uc_, h);
    uc_ctl_remove_cache(uc_, uint64_t{start}, end);
    return stop_ ? *stop_ : unexplainedStop(err, until, reg(Reg::Eip));
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
    uc_ctl_remove_cache(uc_, uint64_t{blockStart}, end);
    if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(MachineHooks::replayed), this, blockStart,
                    end - 1) == UC_ERR_OK) {
        replaying_ = true;
        uc_emu_start(uc_, blockStart, 0, 0, kMaxReplay);
        replaying_ = false;
        uc_hook_del(uc_, h);
        uc_ctl_remove_cache(uc_, uint64_t{blockStart}, end);
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

} // namespace zylos
