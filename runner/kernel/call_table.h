// The zylos kernel calls, one row each: number, the name of the library's
// wrapper, how each argument slot reads in a trace, and the kernel's
// handler (none: answered with -38, ENOSYS).
#pragma once

#include <cassert>
#include <cstddef>
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

// A call's three argument words, each read as its row's slot says it is.
class CallArgs {
public:
    CallArgs(const uint32_t (&words)[3], const Slot (&slots)[3]) : words_(words), slots_(slots) {}
    // An Int slot as a signed number.
    int32_t integer(size_t i) const { return static_cast<int32_t>(as(i, Slot::Int)); }
    // An Int slot as a table index: a negative one is out of every table's range.
    uint32_t index(size_t i) const { return as(i, Slot::Int); }
    uint32_t count(size_t i) const { return as(i, Slot::Uint); }
    uint32_t flags(size_t i) const { return as(i, Slot::Hex); }
    // A Ptr, Path or buffer slot.
    uint32_t address(size_t i) const
    {
        assert(slots_[i] == Slot::Ptr || slots_[i] == Slot::Path || slots_[i] == Slot::InBuf ||
               slots_[i] == Slot::OutBuf || slots_[i] == Slot::OutStr);
        return words_[i];
    }

private:
    uint32_t as(size_t i, [[maybe_unused]] Slot kind) const
    {
        assert(slots_[i] == kind);
        return words_[i];
    }
    const uint32_t (&words_)[3];
    const Slot (&slots_)[3];
};

struct CallInfo {
    using Handler = int32_t (Task::*)(const CallArgs &args, GuestMemory &mem);
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
