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

// How far the kernel serves a call, so that what it leaves out is written
// beside the call rather than found in its handler.
enum class Support : uint8_t {
    Full,
    Partial, // served in some runs or for some arguments only: see the note
    None,    // answered -38 (ENOSYS) always: see the note
};

struct CallInfo {
    using Handler = int32_t (Task::*)(const uint32_t (&args)[3], GuestMemory &mem);
    uint32_t nr;
    const char *name;
    Slot slots[3];
    Handler handler;
    Support support = Support::Full;
    const char *note = ""; // what is left out, and why
};

std::span<const CallInfo> callTable();
// True for a call the kernel has a handler for (fully or in part).
inline bool served(const CallInfo *c)
{
    return c && c->handler && c->support != Support::None;
}
const CallInfo *findCall(uint32_t nr);
// The wrapper's name, or "syscall_N" for a number the kernel does not know.
std::string callName(uint32_t nr);
// True for a wrapper's name or a "syscall_N" name.
bool isCallName(std::string_view name);

} // namespace zylos
