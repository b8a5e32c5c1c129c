// The zylos kernel calls: number, the name of the library's wrapper, and how
// each argument slot reads in a trace.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zylos {

enum class Slot : uint8_t {
    None,
    Int,    // signed decimal
    Uint,   // unsigned decimal
    Hex,    // flags
    Ptr,    // an address shown as such
    Path,   // NUL-terminated string
    InBuf,  // bytes the guest hands over; length in slot 3
    OutBuf, // bytes the kernel filled in; length is the result
    OutStr, // NUL-terminated string the kernel filled in
};

struct CallInfo {
    uint32_t nr;
    const char *name;
    Slot slots[3];
    bool served; // false: answered with -38 (ENOSYS) here
};

std::span<const CallInfo> callTable();
const CallInfo *findCall(uint32_t nr);
// The wrapper's name, or "syscall_N" for a number the kernel does not know.
std::string callName(uint32_t nr);
// True for a wrapper's name or a "syscall_N" name.
bool isCallName(std::string_view name);

} // namespace zylos
