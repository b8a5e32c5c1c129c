#include "runner/kernel/trace.h"

#include "runner/kernel/call_table.h"
#include "zylos/syscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace zylos {
namespace {

// Octal escapes are always three digits, so the next character can never be
// read as part of them.
std::string quoted(const std::vector<uint8_t> &bytes, bool cut)
{
    std::string out = "\"";
    for (uint8_t c : bytes) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            }
        }
    }
    out += "\"";
    return cut ? out + "..." : out;
}

std::string buffer(const GuestMemory &mem, uint32_t addr, int64_t len)
{
    if (len < 0)
        return hexAddress(addr);
    const size_t shown = static_cast<size_t>(std::min<int64_t>(len, kTraceBytes));
    std::vector<uint8_t> bytes(shown);
    if (!mem.read(addr, bytes.data(), shown))
        return hexAddress(addr);
    return quoted(bytes, shown < static_cast<uint64_t>(len));
}

std::string string(const GuestMemory &mem, uint32_t addr)
{
    std::string s;
    const int r = mem.readString(addr, kTraceBytes, s);
    if (r == -EFAULT)
        return hexAddress(addr);
    s.resize(std::min(s.size(), kTraceBytes));
    return quoted(std::vector<uint8_t>(s.begin(), s.end()), r != 0);
}

std::string slot(Slot kind, const CallRecord &c, size_t i, const GuestMemory &mem)
{
    const uint32_t v = c.args[i];
    switch (kind) {
    case Slot::Int: return std::to_string(static_cast<int32_t>(v));
    case Slot::Uint: return std::to_string(v);
    case Slot::Hex: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
    }
    case Slot::Ptr: return hexAddress(v);
    case Slot::Path: return string(mem, v);
    case Slot::InBuf: return buffer(mem, v, c.args[2]);
    case Slot::OutBuf: return buffer(mem, v, c.result);
    case Slot::OutStr: return c.result < 0 ? hexAddress(v) : string(mem, v);
    case Slot::None: break;
    }
    return "";
}

} // namespace

std::string formatCall(const CallRecord &c, const GuestMemory &mem)
{
    static constexpr Slot kUnknown[3] = {Slot::Hex, Slot::Hex, Slot::Hex};
    const CallInfo *info = findCall(c.nr);
    const Slot *slots = info ? info->slots : kUnknown;
    std::string line = c.name + "(";
    for (size_t i = 0; i < 3 && slots[i] != Slot::None; ++i)
        line += (i ? ", " : "") + slot(slots[i], c, i, mem);
    line += ")";
    // exit does not come back, so it has no result unless it was replaced.
    if (c.nr != SYS_EXIT || c.injected)
        line += " = " + std::to_string(c.result);
    if (c.injected)
        line += " (injected)";
    return line;
}

} // namespace zylos
