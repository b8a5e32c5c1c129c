// The process calls: spawn with its arguments and settings, and waitpid,
// served by the run's process host when it has one.
#include "runner/kernel/task.h"

#include "runner/kernel/layout.h"

#include <cerrno>

namespace zylos {
namespace {

constexpr uint32_t kWaitNoHang = 1;

} // namespace

// argv as spawn is given it: count string pointers at addr, or just the
// path as the guest wrote it for a count of 0.
int Task::guestArguments(GuestMemory &mem, uint32_t addr, int32_t count, const std::string &path,
                         std::vector<std::string> &argv) const
{
    if (count < 0)
        return -EINVAL;
    if (count == 0) {
        argv = {path};
        return argumentsFit(argv) ? 0 : -E2BIG;
    }
    const uint64_t n = static_cast<uint64_t>(count);
    if (n * 4 > kMaxArgumentBytes)
        return -E2BIG;
    std::vector<uint32_t> pointers(n);
    if (!mem.read(addr, pointers.data(), n * 4))
        return -EFAULT;
    uint64_t total = n * 4;
    for (uint32_t p : pointers) {
        std::string arg;
        const int r = mem.readString(p, kMaxArgumentBytes, arg);
        if (r == -EFAULT)
            return r;
        total += arg.size() + 1;
        if (r || total > kMaxArgumentBytes)
            return -E2BIG;
        argv.push_back(std::move(arg));
    }
    return argumentsFit(argv) ? 0 : -E2BIG;
}

int32_t Task::sysSetInherit(const Args &a, GuestMemory &)
{
    inherit_ = a.index(0) != 0;
    return 0;
}

int32_t Task::sysSetStdio(const Args &a, GuestMemory &)
{
    stdio_ = {a.index(0), a.index(1), a.index(2)};
    return 0;
}

int32_t Task::sysSpawn(const Args &a, GuestMemory &mem)
{
    if (!kernel_.processes)
        return -ENOSYS;
    std::string path, written;
    if (int r = guestPath(mem, a.address(0), path, &written))
        return r;
    std::vector<std::string> argv;
    if (int r = guestArguments(mem, a.address(1), a.integer(2), written, argv))
        return r;
    return kernel_.processes->spawn(*this, path, argv);
}

int32_t Task::sysWaitpid(const Args &a, GuestMemory &mem)
{
    const uint32_t statusAddr = a.address(1), options = a.index(2);
    if (!kernel_.processes)
        return -ENOSYS;
    if (options & ~kWaitNoHang)
        return -EINVAL;
    // Checked first, so that a status is never collected and then lost.
    if (statusAddr && !mem.accessible(statusAddr, 4, true))
        return -EFAULT;
    int32_t status = 0;
    const int32_t r = kernel_.processes->wait(id_, a.integer(0), options & kWaitNoHang, status);
    if (r > 0 && statusAddr)
        mem.write(statusAddr, &status, sizeof status);
    return r;
}

} // namespace zylos
