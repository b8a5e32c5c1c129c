// What the files of the Unicorn engine share and nothing else includes: the
// emulator's callbacks, which are friends of the engine, and how an
// emulator's error becomes an exception.
#pragma once

#include "runner/engines/unicorn.h"

#include <unicorn/unicorn.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zylos {

inline void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

struct MachineHooks {
    // Puts every hook in place, as it must be before the first instruction
    // is translated.
    static void install(UnicornEngine &m);
    static void record(UnicornEngine &m, uint64_t address);
    static void replayed(uc_engine *, uint64_t address, uint32_t, void *self);
    static void code(uc_engine *, uint64_t address, uint32_t, void *self);
    static void countBlock(uc_engine *uc, uint64_t address, uint32_t size, void *self);
    [[gnu::noinline]] static void countBlockSlowly(uc_engine *uc, uint64_t address, uint32_t size, void *self);
    static bool withinLimit(UnicornEngine &m);
    static void codeWritten(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *self);
    static void block(uc_engine *, uint64_t address, uint32_t, void *self);
    static bool debugStop(UnicornEngine &m, uint32_t address);
    static void interrupt(uc_engine *, uint32_t intno, void *self);
    static bool badAccess(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *self);
#ifdef uc_ctl_tlb_mode
    static bool fillTlb(uc_engine *, uint64_t page, uc_mem_type type, uc_tlb_entry *entry, void *self);
#endif
    static bool invalidInstruction(uc_engine *, void *self);
    static uint32_t portIn(uc_engine *, uint32_t, int, void *self);
    static void portOut(uc_engine *, uint32_t, int, uint32_t, void *self);
    static void fastSystemCall(uc_engine *, void *self);
};

} // namespace zylos
