#include "runner/kernel/call_table.h"

#include "runner/kernel/task.h"
#include "zylos/syscalls.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace zylos {

using enum Slot;

// A task of its own (the tests' and the fuzzer's) has no process table.
constexpr const char *kNeedsProcesses = "served in a run with a process table only; -38 without one";

struct CallRows {
    using K = Task;
    static constexpr std::array rows = {
        CallInfo{SYS_WRITE, "write", {Int, InBuf, Uint}, &K::sysWrite},
        CallInfo{SYS_EXIT, "exit", {Int, None, None}, &K::sysExit},
        CallInfo{SYS_READ, "read", {Int, OutBuf, Uint}, &K::sysRead},
        CallInfo{SYS_OPEN, "open", {Path, Hex, Hex}, &K::sysOpen},
        CallInfo{SYS_CLOSE, "close", {Int, None, None}, &K::sysClose},
        CallInfo{SYS_GETKEY, "getkey", {None, None, None}, &K::sysGetKey},
        CallInfo{SYS_WRITEFILE, "writefile", {Path, InBuf, Uint}, &K::sysWriteFile},
        CallInfo{SYS_USLEEP, "usleep", {Uint, None, None}, &K::sysSleep},
        CallInfo{SYS_MKDIR, "mkdir", {Path, None, None}, &K::sysMkdir},
        CallInfo{SYS_UNLINK, "unlink", {Path, None, None}, &K::sysUnlink},
        CallInfo{SYS_RMDIR, "rmdir", {Path, None, None}, &K::sysRmdir},
        CallInfo{SYS_GETCWD, "getcwd", {OutStr, Uint, None}, &K::sysGetCwd},
        CallInfo{SYS_ZYLFS_STREAM_BEGIN, "zylfs_stream_begin", {Path, None, None}, &K::sysStreamBegin},
        CallInfo{SYS_ZYLFS_STREAM_WRITE, "zylfs_stream_write", {Int, InBuf, Uint}, &K::sysStreamWrite},
        CallInfo{SYS_ZYLFS_STREAM_END, "zylfs_stream_end", {Int, None, None}, &K::sysStreamEnd},
        CallInfo{SYS_SET_BACKGROUND, "set_background", {Path, None, None}, &K::sysSetBackground},
        CallInfo{SYS_CHDIR, "chdir", {Path, None, None}, &K::sysChdir},
        CallInfo{SYS_LSEEK, "lseek", {Int, Int, Int}, &K::sysLseek},
        CallInfo{SYS_PIPE, "pipe", {Ptr, None, None}, &K::sysPipe},
        CallInfo{SYS_MKFIFO, "mkfifo", {Path, None, None}, &K::sysMkfifo},
        CallInfo{SYS_DUP, "dup", {Int, None, None}, &K::sysDup},
        CallInfo{SYS_DUP2, "dup2", {Int, Int, None}, &K::sysDup2},
        CallInfo{SYS_FD_SET_INHERIT, "fd_set_inherit", {Int, None, None}, &K::sysSetInherit},
        CallInfo{SYS_FD_SET_STDIO, "fd_set_stdio", {Int, Int, Int}, &K::sysSetStdio},
        CallInfo{SYS_FD_SET_NONBLOCK, "fd_set_nonblock", {Int, Int, None}, &K::sysSetNonblock},
        CallInfo{SYS_SPAWN, "spawn", {Path, Ptr, Int}, &K::sysSpawn, Support::Partial, kNeedsProcesses},
        CallInfo{SYS_WAITPID, "waitpid", {Int, Ptr, Int}, &K::sysWaitpid, Support::Partial, kNeedsProcesses},
    };
};

namespace {

constexpr const auto &kCalls = CallRows::rows;
constexpr std::string_view kUnknownPrefix = "syscall_";

} // namespace

std::span<const CallInfo> callTable()
{
    return kCalls;
}

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
