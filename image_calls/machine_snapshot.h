// What calling into a loaded image needs of a UnicornEngine beyond running it: the
// machine put back before every call, and a GS segment for peer libraries.
// Used by the test harness's Guest, and through it by the bench.
#pragma once

#include "runner/engines/unicorn.h"

#include <cstdint>
#include <vector>

struct uc_context;

namespace zylos {

class MachineSnapshot {
public:
    explicit MachineSnapshot(UnicornEngine &m) : m_(m) {}
    ~MachineSnapshot();
    MachineSnapshot(const MachineSnapshot &) = delete;
    MachineSnapshot &operator=(const MachineSnapshot &) = delete;

    // Remembers the CPU state and the content of every writable region mapped
    // so far; restore() puts both back. Pages that were zero are handed back
    // to the host, which has work only for those the guest touched; the
    // others are copied.
    void take();
    void restore();
    // Gives the guest a flat GS data segment based at base, its descriptor
    // in a read-only table page mapped at table: some C libraries find their
    // thread pointer through %gs. The CPU state taken is updated, so that
    // restore() keeps it.
    void setGsSegment(uint32_t table, uint32_t base);

private:
    struct Pages {
        uint32_t offset, size;
        bool zero;
    };
    struct Saved {
        uint8_t *host;
        std::vector<uint8_t> pristine;
        std::vector<Pages> runs; // the region in runs of zero and other pages
    };

    void saveCpu();

    UnicornEngine &m_;
    std::vector<Saved> memory_;
    uc_context *cpu_ = nullptr;
};

} // namespace zylos
