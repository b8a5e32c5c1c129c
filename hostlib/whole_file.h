// A whole host file read into memory, bounded, as the runner reads the
// program it loads and zylos-info the executables it describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zylos {

// The largest file the host tools take: a program to load or describe, a
// whole-file write of a guest (held in memory), all of a guest's open
// streams together.
inline constexpr uint32_t kMaxFileBytes = 256u << 20;

// The bytes of the regular file fd, at most limit of them: 0, or -6 (ENXIO)
// for anything but a regular file, -27 (EFBIG) beyond limit, or another
// negative errno. Nothing is read from a file that is refused.
int readWholeFile(int fd, size_t limit, std::vector<uint8_t> &out);

// Opens path without waiting on a fifo or taking a terminal, and reads it
// whole as above (at most kMaxFileBytes); an open that fails gives its
// negative errno.
int readWholeFile(const std::string &path, std::vector<uint8_t> &out);

} // namespace zylos
