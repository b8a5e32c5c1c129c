// What an executable costs in memory and on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zylos::bench {

struct Segment {
    std::string flags; // "R E", "R", "RW"
    uint32_t filesz, memsz;
};

struct ImageSize {
    std::vector<Segment> segments;
    uint64_t loaded = 0; // sum of the loadable segments' file sizes
    uint64_t file = 0, stripped = 0;
};

// Reads PT_LOAD headers of any ELF32 file (ours or a peer's program) and the
// file's size before and after `strip`. Throws std::runtime_error.
ImageSize measureImage(const std::string &path, const std::string &strip);

} // namespace zylos::bench
