// The guest's memory: host buffers mapped into the emulator, read and
// written by the kernel through their bounds, and put back whole for calls
// into an image, which also give it a GS segment.
#include "runner/engines/unicorn_internal.h"
#include "runner/kernel/layout.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zylos {
namespace {

// With a TLB of its own the engine finds fetches from plain data pages
// itself (see MachineHooks::fillTlb); an emulator without one needs the
// hooks everywhere.
#ifdef uc_ctl_tlb_mode
constexpr bool kPlainDataUncovered = true;
#else
constexpr bool kPlainDataUncovered = false;
#endif

} // namespace

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
    coverBadAccesses();
    if (lengths_ && (perms & kPermWrite) && (perms & kPermExec)) {
        uc_hook h;
        check(uc_hook_add(uc_, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(MachineHooks::codeWritten), this,
                          addr, uint64_t{addr} + size - 1),
              "hook");
    }
    return static_cast<uint8_t *>(host);
}

void UnicornEngine::coverBadAccesses()
{
    for (const uc_hook h : badAccessHooks_)
        uc_hook_del(uc_, h);
    badAccessHooks_.clear();
    uint64_t from = 0;
    const auto coverUpTo = [&](uint64_t last) {
        uc_hook h;
        if (last >= from) {
            check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(MachineHooks::badAccess), this,
                              from, last),
                  "hook");
            badAccessHooks_.push_back(h);
        }
    };
    for (const Region &r : regions_) {
        if (!kPlainDataUncovered || !r.plainData())
            continue;
        if (r.base > from)
            coverUpTo(r.base - 1);
        from = uint64_t{r.base} + r.size;
    }
    coverUpTo(UINT64_MAX);
}

const UnicornEngine::Region *UnicornEngine::regionAt(uint64_t addr) const
{
    return regionHolding(regions_, addr);
}

bool UnicornEngine::accessible(uint32_t addr, size_t n, bool forWrite) const
{
    return walkRegions(regions_, addr, n, forWrite ? kPermWrite : kPermRead,
                       [](const Region &, uint64_t, size_t, size_t) {});
}

bool UnicornEngine::read(uint32_t addr, void *out, size_t n) const
{
    return walkRegions(regions_, addr, n, kPermRead, [&](const Region &r, uint64_t at, size_t done, size_t len) {
        std::memcpy(static_cast<uint8_t *>(out) + done, r.host + (at - r.base), len);
    });
}

bool UnicornEngine::write(uint32_t addr, const void *in, size_t n)
{
    return walkRegions(regions_, addr, n, kPermWrite, [&](const Region &r, uint64_t at, size_t done, size_t len) {
        std::memcpy(r.host + (at - r.base), static_cast<const uint8_t *>(in) + done, len);
        if (r.perms & kPermExec)
            dropTranslations(static_cast<uint32_t>(at), len);
    });
}

// Within one region: the emulator finds the translations of a range by
// where the start's page is held, and goes on from there.
void UnicornEngine::dropTranslations(uint32_t addr, uint64_t n)
{
    if (n)
        uc_ctl_remove_cache(uc_, uint64_t{addr}, addr + n);
    forgetBlockLengths(addr, n);
}

UnicornEngine::Snapshot::~Snapshot()
{
    if (cpu_)
        uc_context_free(cpu_);
}

void UnicornEngine::saveCpu(Snapshot &s) const
{
    if (!s.cpu_)
        check(uc_context_alloc(uc_, &s.cpu_), "saving the CPU state");
    check(uc_context_save(uc_, s.cpu_), "saving the CPU state");
}

void UnicornEngine::save(Snapshot &s) const
{
    saveCpu(s);
    s.memory_.clear();
    for (const Region &r : regions_) {
        if (!(r.perms & kPermWrite))
            continue;
        Snapshot::Saved &saved = s.memory_.emplace_back(
            Snapshot::Saved{r.host, r.base, (r.perms & kPermExec) != 0, {r.host, r.host + r.size}, {}});
        for (uint32_t at = 0; at < r.size; at += kPageSize) {
            const uint8_t *page = r.host + at;
            const bool zero = std::all_of(page, page + kPageSize, [](uint8_t b) { return b == 0; });
            if (!saved.runs.empty() && saved.runs.back().zero == zero)
                saved.runs.back().size += kPageSize;
            else
                saved.runs.push_back({at, kPageSize, zero});
        }
    }
}

// The harness restores before every call, and copying the stack and a heap
// arena alone would be megabytes each time; a private anonymous page given
// back reads as zeros again, and giving back costs only the pages touched.
void UnicornEngine::restore(const Snapshot &s)
{
    for (const Snapshot::Saved &saved : s.memory_) {
        for (const Snapshot::Pages &run : saved.runs) {
            if (run.zero && madvise(saved.host + run.offset, run.size, MADV_DONTNEED) == 0)
                continue;
            std::memcpy(saved.host + run.offset, saved.pristine.data() + run.offset, run.size);
        }
        if (saved.code)
            dropTranslations(saved.base, saved.pristine.size());
    }
    if (s.cpu_)
        check(uc_context_restore(uc_, s.cpu_), "restoring the CPU state");
}

void UnicornEngine::setGsSegment(uint32_t table, uint32_t base)
{
    // The descriptors in use move into the new table unchanged; the GS one
    // follows them: present, DPL 3, read/write data already accessed (the
    // table is read-only), limit 4 GiB in pages, 32-bit.
    uc_x86_mmr gdtr{};
    check(uc_reg_read(uc_, UC_X86_REG_GDTR, &gdtr), "reading the descriptor table");
    const uint32_t used = gdtr.base ? (gdtr.limit + 1) & ~7u : 8;
    uint8_t *page = map(table, kPageSize, kPermRead);
    if (used + 8 > kPageSize || (gdtr.base && uc_mem_read(uc_, gdtr.base, page, used) != UC_ERR_OK))
        throw std::runtime_error("cannot extend the descriptor table");
    const uint64_t descriptor = 0xFFFF | uint64_t{base & 0xFFFFFF} << 16 | uint64_t{0xF3} << 40 | uint64_t{0xCF} << 48 |
                                uint64_t{base >> 24} << 56;
    std::memcpy(page + used, &descriptor, sizeof descriptor);
    gdtr = {0, table, used + 8 - 1, 0};
    const uint32_t selector = used | 3;
    check(uc_reg_write(uc_, UC_X86_REG_GDTR, &gdtr), "setting the descriptor table");
    check(uc_reg_write(uc_, UC_X86_REG_GS, &selector), "loading GS");
}

} // namespace zylos
