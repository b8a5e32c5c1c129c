#include "call_table.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace zylos {
namespace {

using enum Slot;

constexpr std::array kCalls = {
    CallInfo{1, "write", {Int, InBuf, Uint}, true},
    CallInfo{2, "exit", {Int, None, None}, true},
    CallInfo{3, "read", {Int, OutBuf, Uint}, true},
    CallInfo{4, "open", {Path, Hex, Hex}, true},
    CallInfo{5, "close", {Int, None, None}, true},
    CallInfo{6, "getkey", {None, None, None}, true},
    CallInfo{21, "writefile", {Path, InBuf, Uint}, true},
    CallInfo{22, "usleep", {Uint, None, None}, true},
    CallInfo{49, "mkdir", {Path, None, None}, true},
    CallInfo{50, "unlink", {Path, None, None}, true},
    CallInfo{51, "rmdir", {Path, None, None}, true},
    CallInfo{52, "getcwd", {OutStr, Uint, None}, true},
    CallInfo{53, "zylfs_stream_begin", {Path, None, None}, true},
    CallInfo{54, "zylfs_stream_write", {Int, InBuf, Uint}, true},
    CallInfo{55, "zylfs_stream_end", {Int, None, None}, true},
    CallInfo{92, "set_background", {Path, None, None}, true},
    CallInfo{95, "chdir", {Path, None, None}, true},
    CallInfo{110, "lseek", {Int, Int, Int}, true},
    CallInfo{124, "pipe", {Ptr, None, None}, true},
    CallInfo{125, "mkfifo", {Path, None, None}, false},
    CallInfo{126, "dup", {Int, None, None}, true},
    CallInfo{127, "dup2", {Int, Int, None}, true},
    CallInfo{128, "fd_set_inherit", {Int, None, None}, false},
    CallInfo{129, "fd_set_stdio", {Int, Int, Int}, false},
    CallInfo{130, "fd_set_nonblock", {Int, Int, None}, false},
    CallInfo{131, "spawn", {Path, Ptr, Int}, false},
    CallInfo{132, "waitpid", {Int, Ptr, Int}, false},
};

constexpr std::string_view kUnknownPrefix = "syscall_";

} // namespace

std::span<const CallInfo> callTable() { return kCalls; }

const CallInfo *findCall(uint32_t nr)
{
    auto it = std::find_if(kCalls.begin(), kCalls.end(), [nr](const CallInfo &c) { return c.nr == nr; });
    return it == kCalls.end() ? nullptr : &*it;
}

std::string callName(uint32_t nr)
{
    const CallInfo *c = findCall(nr);
    return c ? c->name : std::string(kUnknownPrefix) + std::to_string(nr);
}

bool isCallName(std::string_view name)
{
    if (std::any_of(kCalls.begin(), kCalls.end(), [name](const CallInfo &c) { return name == c.name; }))
        return true;
    if (!name.starts_with(kUnknownPrefix))
        return false;
    const std::string_view digits = name.substr(kUnknownPrefix.size());
    uint32_t nr = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), nr);
    return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() && callName(nr) == name;
}

} // namespace zylos
