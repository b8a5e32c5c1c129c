// Where things live in a guest's 32-bit address space.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zylos {

// Page permissions, numbered as the CPU emulator numbers them.
enum Perm : unsigned { kPermRead = 1, kPermWrite = 2, kPermExec = 4 };

inline constexpr uint32_t kPageSize = 0x1000;
// Below kUserBase nothing is mapped, so null and small pointers fault.
inline constexpr uint32_t kUserBase = 0x1000;
inline constexpr uint64_t kUserEnd = 0xC0000000;

// The stack ends at the top of the user range with an unmapped page below it;
// image segments must stay below that guard page.
inline constexpr uint32_t kStackSize = 0x100000;
inline constexpr uint32_t kStackBase = static_cast<uint32_t>(kUserEnd - kStackSize);
inline constexpr uint32_t kImageLimit = kStackBase - kPageSize;

// Arguments may take at most a quarter of the stack: argc, the argv
// pointers and their null, and the strings.
inline constexpr uint64_t kMaxArgumentBytes = kStackSize / 4;
inline uint64_t argumentBytes(const std::vector<std::string> &argv)
{
    uint64_t bytes = 4 * (argv.size() + 2);
    for (const std::string &a : argv)
        bytes += a.size() + 1;
    return bytes;
}
// With room left to align the stack.
inline bool argumentsFit(const std::vector<std::string> &argv)
{
    return argumentBytes(argv) + 32 <= kMaxArgumentBytes;
}

constexpr uint64_t pageDown(uint64_t a)
{
    return a & ~uint64_t{kPageSize - 1};
}
constexpr uint64_t pageUp(uint64_t a)
{
    return pageDown(a + kPageSize - 1);
}

} // namespace zylos
