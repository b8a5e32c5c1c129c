// The zylos kernel calls, one row each: number, the name of the library's
// wrapper, how each argument slot reads in a trace, and the kernel's
// handler (none: answered with -38, ENOSYS).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zylos {

class GuestMemory;
class Task;

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
    using Handler = int32_t (Task::*)(const uint32_t (&args)[3], GuestMemory &mem);
    uint32_t nr;
    const char *name;
    Slot slots[3];
    Handler handler;
};

std::span<const CallInfo> callTable();
const CallInfo *findCall(uint32_t nr);
// The wrapper's name, or "syscall_N" for a number the kernel does not know.
std::string callName(uint32_t nr);
// True for a wrapper's name or a "syscall_N" name.
bool isCallName(std::string_view name);

} // namespace zylos
