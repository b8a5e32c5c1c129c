// The calls on descriptors: reads and writes, opens and closes, pipes,
// dup and the console's keys.
#include "runner/kernel/task.h"

#include "hostlib/host_call.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace zylos {
namespace {

// The most one write moves, so that the count it returns stays positive.
constexpr uint32_t kMaxTransfer = 0x7FFFF000;

// Open flags are in Linux numbering, which is the host's own.
constexpr uint32_t kOpenFlags = O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;

} // namespace

int32_t Task::sysWrite(const Args &a, GuestMemory &mem)
{
    const uint32_t fd = a.index(0), buf = a.address(1);
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (!mem.accessible(buf, a.count(2), false))
        return -EFAULT;
    const uint32_t len = std::min(a.count(2), kMaxTransfer);
    uint32_t done = 0;
    while (done < len) {
        const size_t n = std::min<size_t>(len - done, kTransferSize);
        mem.read(buf + done, transfer_.data(), n);
        const long r = f->write({transfer_.data(), n}, nonblock_[fd]);
        if (r < 0)
            return static_cast<int32_t>(countOr(done, r));
        done += static_cast<uint32_t>(r);
        if (static_cast<size_t>(r) < n)
            break;
    }
    return static_cast<int32_t>(done);
}

int32_t Task::sysRead(const Args &a, GuestMemory &mem)
{
    const uint32_t fd = a.index(0), buf = a.address(1), len = a.count(2);
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (!mem.accessible(buf, len, true))
        return -EFAULT;
    const long r = f->read({transfer_.data(), std::min<size_t>(len, kTransferSize)}, nonblock_[fd]);
    if (r > 0)
        mem.write(buf, transfer_.data(), static_cast<size_t>(r));
    return static_cast<int32_t>(r);
}

int32_t Task::sysOpen(const Args &a, GuestMemory &mem)
{
    const uint32_t flags = a.flags(1);
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
        return r;
    if ((flags & ~kOpenFlags) || (flags & O_ACCMODE) == O_ACCMODE)
        return -EINVAL;
    const int slot = freeSlot();
    if (slot < 0)
        return slot;
    std::shared_ptr<OpenFile> opened;
    if (int r = openFifo(path, flags, opened); r != -ENOENT)
        return r ? r : (fds_[static_cast<size_t>(slot)] = std::move(opened), slot);
    // The library repeats the flags in the third slot instead of a mode, so
    // new files get ordinary permissions.
    UniqueFd fd;
    if (int r = kernel_.root.openFile(path, static_cast<int>(flags) | O_NOCTTY, 0644, fd))
        return r;
    fds_[static_cast<size_t>(slot)] = std::make_shared<HostFile>(std::move(fd));
    return slot;
}

std::shared_ptr<PipeBuffer> Task::fifo(const std::string &path)
{
    std::string place;
    if (kernel_.root.placeOf(path, place) != 0)
        return nullptr;
    const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
    auto it = kernel_.fifos.find(place);
    return it == kernel_.fifos.end() ? nullptr : it->second;
}

// A named pipe opens as its read end or its write end: -2 (ENOENT) when
// path names none.
int Task::openFifo(const std::string &path, uint32_t flags, std::shared_ptr<OpenFile> &out)
{
    std::shared_ptr<PipeBuffer> pipe = fifo(path);
    if (!pipe)
        return -ENOENT;
    if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
        return -EEXIST;
    if ((flags & O_ACCMODE) == O_RDWR)
        return -EINVAL;
    out = std::make_shared<PipeEnd>(std::move(pipe), (flags & O_ACCMODE) == O_WRONLY);
    return 0;
}

int32_t Task::sysClose(const Args &a, GuestMemory &)
{
    const uint32_t fd = a.index(0);
    if (!file(fd))
        return -EBADF;
    fds_[fd].reset();
    nonblock_[fd] = false;
    return 0;
}

int32_t Task::sysGetKey(const Args &, GuestMemory &)
{
    uint8_t key;
    const long r = kernel_.console.read(&key, 1);
    return r == 1 ? key : r == 0 ? -1 : static_cast<int32_t>(r);
}

int32_t Task::sysLseek(const Args &a, GuestMemory &)
{
    const uint32_t whence = a.index(2);
    OpenFile *f = file(a.index(0));
    if (!f)
        return -EBADF;
    if (whence > SEEK_END)
        return -EINVAL;
    const int64_t old = f->seek(0, SEEK_CUR);
    const int64_t r = f->seek(a.integer(1), static_cast<int>(whence));
    if (r <= INT32_MAX)
        return static_cast<int32_t>(r);
    // A position the guest cannot be told is refused, and the file stays where it was.
    f->seek(old, SEEK_SET);
    return -EOVERFLOW;
}

int32_t Task::sysPipe(const Args &a, GuestMemory &mem)
{
    const uint32_t fdsAddr = a.address(0);
    if (!mem.accessible(fdsAddr, 8, true))
        return -EFAULT;
    const int readFd = freeSlot();
    const int writeFd = readFd < 0 ? readFd : freeSlot(static_cast<size_t>(readFd) + 1);
    if (writeFd < 0)
        return -EMFILE;
    auto pipe = std::make_shared<PipeBuffer>(kernel_.waitRoom);
    fds_[static_cast<size_t>(readFd)] = std::make_shared<PipeEnd>(pipe, false);
    fds_[static_cast<size_t>(writeFd)] = std::make_shared<PipeEnd>(pipe, true);
    const int32_t pair[2] = {readFd, writeFd};
    mem.write(fdsAddr, pair, sizeof pair);
    return 0;
}

int32_t Task::sysDup(const Args &a, GuestMemory &)
{
    const uint32_t fd = a.index(0);
    if (!file(fd))
        return -EBADF;
    const int slot = freeSlot();
    if (slot >= 0)
        fds_[static_cast<size_t>(slot)] = fds_[fd];
    return slot;
}

int32_t Task::sysDup2(const Args &a, GuestMemory &)
{
    const uint32_t oldFd = a.index(0), newFd = a.index(1);
    if (!file(oldFd) || newFd >= kMaxDescriptors)
        return -EBADF;
    if (newFd != oldFd) {
        fds_[newFd] = fds_[oldFd];
        nonblock_[newFd] = false;
    }
    return static_cast<int32_t>(newFd);
}

int32_t Task::sysSetNonblock(const Args &a, GuestMemory &)
{
    if (!file(a.index(0)))
        return -EBADF;
    nonblock_[a.index(0)] = a.index(1) != 0;
    return 0;
}

} // namespace zylos
