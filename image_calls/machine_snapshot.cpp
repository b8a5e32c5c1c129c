#include "image_calls/machine_snapshot.h"

#include "runner/kernel/layout.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zylos {
namespace {

void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

} // namespace

MachineSnapshot::~MachineSnapshot()
{
    if (cpu_)
        uc_context_free(cpu_);
}

void MachineSnapshot::saveCpu()
{
    if (!cpu_)
        check(uc_context_alloc(m_.engine(), &cpu_), "saving the CPU state");
    check(uc_context_save(m_.engine(), cpu_), "saving the CPU state");
}

void MachineSnapshot::take()
{
    saveCpu();
    memory_.clear();
    for (const UnicornEngine::Region &r : m_.regions()) {
        if (!(r.perms & kPermWrite))
            continue;
        Saved &s = memory_.emplace_back(Saved{r.host, {r.host, r.host + r.size}, {}});
        for (uint32_t at = 0; at < r.size; at += kPageSize) {
            const uint8_t *page = r.host + at;
            const bool zero = std::all_of(page, page + kPageSize, [](uint8_t b) { return b == 0; });
            if (!s.runs.empty() && s.runs.back().zero == zero)
                s.runs.back().size += kPageSize;
            else
                s.runs.push_back({at, kPageSize, zero});
        }
    }
}

// The harness restores before every call, and copying the stack and a heap
// arena alone would be megabytes each time; a private anonymous page given
// back reads as zeros again, and giving back costs only the pages touched.
void MachineSnapshot::restore()
{
    for (const Saved &s : memory_) {
        for (const Pages &run : s.runs) {
            if (run.zero && madvise(s.host + run.offset, run.size, MADV_DONTNEED) == 0)
                continue;
            std::memcpy(s.host + run.offset, s.pristine.data() + run.offset, run.size);
        }
    }
    if (cpu_)
        check(uc_context_restore(m_.engine(), cpu_), "restoring the CPU state");
}

void MachineSnapshot::setGsSegment(uint32_t table, uint32_t base)
{
    uc_engine *uc = m_.engine();
    // The descriptors in use move into the new table unchanged; the GS one
    // follows them: present, DPL 3, read/write data already accessed (the
    // table is read-only), limit 4 GiB in pages, 32-bit.
    uc_x86_mmr gdtr{};
    check(uc_reg_read(uc, UC_X86_REG_GDTR, &gdtr), "reading the descriptor table");
    const uint32_t used = gdtr.base ? (gdtr.limit + 1) & ~7u : 8;
    uint8_t *page = m_.map(table, kPageSize, kPermRead);
    if (used + 8 > kPageSize || (gdtr.base && uc_mem_read(uc, gdtr.base, page, used) != UC_ERR_OK))
        throw std::runtime_error("cannot extend the descriptor table");
    const uint64_t descriptor = 0xFFFF | uint64_t{base & 0xFFFFFF} << 16 | uint64_t{0xF3} << 40 | uint64_t{0xCF} << 48 |
                                uint64_t{base >> 24} << 56;
    std::memcpy(page + used, &descriptor, sizeof descriptor);
    gdtr = {0, table, used + 8 - 1, 0};
    const uint32_t selector = used | 3;
    check(uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr), "setting the descriptor table");
    check(uc_reg_write(uc, UC_X86_REG_GS, &selector), "loading GS");
    saveCpu();
}

} // namespace zylos
