// Reads and checks a zylos executable: a static ELF32 i386 image whose
// loadable segments lie inside the file and inside the user address range.
#pragma once

#include "hostlib/elf32.h"
#include "runner/kernel/layout.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zylos {

// A file that is not a valid zylos executable; what() is a one-line reason.
using BadImage = elf::Error;

struct LoadSegment {
    uint32_t vaddr, memsz, offset, filesz;
    unsigned perms;
};

struct ElfImage {
    uint32_t entry;
    std::vector<LoadSegment> segments; // sorted by address
};

ElfImage parseElf(std::span<const uint8_t> file);

} // namespace zylos
