#include "kernel.h"

#include "call_table.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <thread>

namespace zylos {
namespace {

// One kernel call moves at most this much in a read; writes loop over it.
constexpr size_t kTransferSize = 65536;
// The most one write moves, so that the count it returns stays positive.
constexpr uint32_t kMaxTransfer = 0x7FFFF000;
// Whole-file writes are held in memory; larger requests are refused (-27).
constexpr size_t kMaxFileSize = 256u << 20;
constexpr size_t kMaxStreams = 16;
constexpr size_t kPathMax = 4096;

// Open flags are in Linux numbering, which is the host's own.
constexpr uint32_t kOpenFlags = O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;

// The current directory is kept as a plain absolute path, "." and ".."
// resolved by name, which is what getcwd reports.
std::string normalize(const std::string &path)
{
    std::string out = std::filesystem::path(path).lexically_normal().string();
    if (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

} // namespace

Kernel::Kernel(RootDir root, Console &console)
    : root_(std::move(root)), console_(console), transfer_(kTransferSize)
{
    fds_[0] = std::make_shared<ConsoleInput>(console_);
    fds_[1] = std::make_shared<ConsoleOutput>(console_, 1, writeChunk_);
    fds_[2] = std::make_shared<ConsoleOutput>(console_, 2, writeChunk_);
}

void Kernel::inject(std::string name, unsigned nth, int32_t result)
{
    injections_.push_back({std::move(name), nth, result});
}

void Kernel::setRoot(RootDir root)
{
    root_ = std::move(root);
    cwd_ = "/";
}

int32_t Kernel::call(uint32_t nr, const uint32_t (&args)[3], GuestMemory &mem)
{
    CallRecord rec{callName(nr), nr, {args[0], args[1], args[2]}, 0, false};
    std::optional<int32_t> replaced = injectedResult(rec.name);
    if (!replaced && script_)
        replaced = script_(rec, mem);
    rec.injected = replaced.has_value();
    rec.result = replaced ? *replaced : perform(nr, args, mem);
    if (observer_)
        observer_(rec, mem);
    return rec.result;
}

std::optional<int32_t> Kernel::injectedResult(const std::string &name)
{
    const unsigned n = ++seen_[name];
    for (const Injection &i : injections_)
        if (i.name == name && (i.nth == 0 || i.nth == n))
            return i.result;
    return std::nullopt;
}

int32_t Kernel::perform(uint32_t nr, const uint32_t (&a)[3], GuestMemory &mem)
{
    switch (nr) {
    case 1: return sysWrite(a[0], a[1], a[2], mem);
    case 2: exitStatus_ = static_cast<int32_t>(a[0]); return 0;
    case 3: return sysRead(a[0], a[1], a[2], mem);
    case 4: return sysOpen(a[0], a[1], mem);
    case 5: return sysClose(a[0]);
    case 6: return sysGetKey();
    case 21: return sysWriteFile(a[0], a[1], a[2], mem);
    case 22: return sysSleep(a[0]);
    case 49: return sysPathCall(a[0], mem, &RootDir::mkdir);
    case 50: return sysPathCall(a[0], mem, &RootDir::unlink);
    case 51: return sysPathCall(a[0], mem, &RootDir::rmdir);
    case 52: return sysGetCwd(a[0], a[1], mem);
    case 53: return sysStreamBegin(a[0], mem);
    case 54: return sysStreamWrite(a[0], a[1], a[2], mem);
    case 55: return sysStreamEnd(a[0]);
    case 92: return sysSetBackground(a[0], mem);
    case 95: return sysChdir(a[0], mem);
    case 110: return sysLseek(a[0], a[1], a[2]);
    case 124: return sysPipe(a[0], mem);
    case 126: return sysDup(a[0]);
    case 127: return sysDup2(a[0], a[1]);
    default: return -ENOSYS; // processes, fifos and descriptor modes do not exist here
    }
}

int Kernel::guestPath(GuestMemory &mem, uint32_t addr, std::string &path) const
{
    std::string name;
    if (int r = mem.readString(addr, kPathMax - 1, name))
        return r;
    if (name.empty())
        return -ENOENT;
    path = name[0] == '/' ? name : (cwd_ == "/" ? "/" : cwd_ + "/") + name;
    return 0;
}

OpenFile *Kernel::file(uint32_t fd) const { return fd < kMaxDescriptors ? fds_[fd].get() : nullptr; }

int Kernel::freeSlot(size_t from) const
{
    for (size_t i = from; i < kMaxDescriptors; ++i)
        if (!fds_[i])
            return static_cast<int>(i);
    return -EMFILE;
}

// A bad pointer is -14 whatever the length, and is found before any host
// memory is set aside for the bytes.
int Kernel::readGuestBytes(GuestMemory &mem, uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const
{
    if (!mem.accessible(addr, len, false))
        return -EFAULT;
    if (len > kMaxFileSize)
        return -EFBIG;
    out.resize(len);
    mem.read(addr, out.data(), len);
    return 0;
}

int32_t Kernel::sysWrite(uint32_t fd, uint32_t buf, uint32_t len, GuestMemory &mem)
{
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (!mem.accessible(buf, len, false))
        return -EFAULT;
    len = std::min(len, kMaxTransfer);
    uint32_t done = 0;
    while (done < len) {
        const size_t n = std::min<size_t>(len - done, kTransferSize);
        mem.read(buf + done, transfer_.data(), n);
        const long r = f->write({transfer_.data(), n});
        if (r < 0)
            return done ? static_cast<int32_t>(done) : static_cast<int32_t>(r);
        done += static_cast<uint32_t>(r);
        if (static_cast<size_t>(r) < n)
            break;
    }
    return static_cast<int32_t>(done);
}

int32_t Kernel::sysRead(uint32_t fd, uint32_t buf, uint32_t len, GuestMemory &mem)
{
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (!mem.accessible(buf, len, true))
        return -EFAULT;
    const long r = f->read({transfer_.data(), std::min<size_t>(len, kTransferSize)});
    if (r > 0)
        mem.write(buf, transfer_.data(), static_cast<size_t>(r));
    return static_cast<int32_t>(r);
}

int32_t Kernel::sysOpen(uint32_t pathAddr, uint32_t flags, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    if ((flags & ~kOpenFlags) || (flags & O_ACCMODE) == O_ACCMODE)
        return -EINVAL;
    const int slot = freeSlot();
    if (slot < 0)
        return slot;
    // The library repeats the flags in the third slot instead of a mode, so
    // new files get ordinary permissions.
    UniqueFd fd;
    if (int r = root_.openFile(path, static_cast<int>(flags) | O_NOCTTY, 0644, fd))
        return r;
    fds_[static_cast<size_t>(slot)] = std::make_shared<HostFile>(std::move(fd));
    return slot;
}

int32_t Kernel::sysClose(uint32_t fd)
{
    if (!file(fd))
        return -EBADF;
    fds_[fd].reset();
    return 0;
}

int32_t Kernel::sysGetKey()
{
    uint8_t key;
    const long r = console_.read(&key, 1);
    return r == 1 ? key : r == 0 ? -1 : static_cast<int32_t>(r);
}

int32_t Kernel::sysWriteFile(uint32_t pathAddr, uint32_t data, uint32_t len, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    std::vector<uint8_t> bytes;
    if (int r = readGuestBytes(mem, data, len, bytes))
        return r;
    return root_.writeFile(path, bytes);
}

int32_t Kernel::sysSleep(uint32_t usec)
{
    Clock::time_point until = Clock::now() + std::chrono::microseconds(usec);
    if (deadline_)
        until = std::min(until, *deadline_);
    std::this_thread::sleep_until(until);
    return 0;
}

int32_t Kernel::sysPathCall(uint32_t pathAddr, GuestMemory &mem, int (RootDir::*op)(std::string_view) const)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    return (root_.*op)(path);
}

int32_t Kernel::sysGetCwd(uint32_t buf, uint32_t size, GuestMemory &mem)
{
    if (size < cwd_.size() + 1)
        return -ERANGE;
    if (!mem.write(buf, cwd_.c_str(), cwd_.size() + 1))
        return -EFAULT;
    return static_cast<int32_t>(cwd_.size());
}

int32_t Kernel::sysStreamBegin(uint32_t pathAddr, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    if (streams_.size() >= kMaxStreams)
        return -EMFILE;
    Stream s;
    if (int r = root_.openParent(path, s.dir, s.name, true))
        return r;
    const uint32_t handle = nextStream_++;
    streams_.emplace(handle, std::move(s));
    return static_cast<int32_t>(handle);
}

int32_t Kernel::sysStreamWrite(uint32_t handle, uint32_t data, uint32_t len, GuestMemory &mem)
{
    auto it = streams_.find(handle);
    if (it == streams_.end())
        return -EBADF;
    if (!mem.accessible(data, len, false))
        return -EFAULT;
    // The limit holds for all open streams together, so that a guest cannot
    // make the runner hold more than one file's worth of bytes.
    if (len > kMaxFileSize - streamBytes_)
        return -EFBIG;
    std::vector<uint8_t> &content = it->second.data;
    const size_t old = content.size();
    content.resize(old + len);
    mem.read(data, content.data() + old, len);
    streamBytes_ += len;
    return static_cast<int32_t>(len);
}

int32_t Kernel::sysStreamEnd(uint32_t handle)
{
    auto it = streams_.find(handle);
    if (it == streams_.end())
        return -EBADF;
    const Stream s = std::move(it->second);
    streams_.erase(it);
    streamBytes_ -= s.data.size();
    return RootDir::replaceFile(s.dir.get(), s.name, s.data);
}

int32_t Kernel::sysSetBackground(uint32_t pathAddr, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    const int kind = root_.kind(path);
    return kind < 0 ? kind : kind == S_IFDIR ? -EISDIR : kind == S_IFREG ? 0 : -EINVAL;
}

int32_t Kernel::sysChdir(uint32_t pathAddr, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    path = normalize(path);
    UniqueFd dir;
    if (int r = root_.open(path, O_PATH | O_DIRECTORY, 0, dir))
        return r;
    cwd_ = path;
    return 0;
}

int32_t Kernel::sysLseek(uint32_t fd, uint32_t offset, uint32_t whence)
{
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (whence > SEEK_END)
        return -EINVAL;
    const int64_t old = f->seek(0, SEEK_CUR);
    const int64_t r = f->seek(static_cast<int32_t>(offset), static_cast<int>(whence));
    if (r <= INT32_MAX)
        return static_cast<int32_t>(r);
    // A position the guest cannot be told is refused, and the file stays where it was.
    f->seek(old, SEEK_SET);
    return -EOVERFLOW;
}

int32_t Kernel::sysPipe(uint32_t fdsAddr, GuestMemory &mem)
{
    if (!mem.accessible(fdsAddr, 8, true))
        return -EFAULT;
    const int readFd = freeSlot();
    const int writeFd = readFd < 0 ? readFd : freeSlot(static_cast<size_t>(readFd) + 1);
    if (writeFd < 0)
        return -EMFILE;
    auto pipe = std::make_shared<PipeBuffer>();
    fds_[static_cast<size_t>(readFd)] = std::make_shared<PipeEnd>(pipe, false);
    fds_[static_cast<size_t>(writeFd)] = std::make_shared<PipeEnd>(pipe, true);
    const int32_t pair[2] = {readFd, writeFd};
    mem.write(fdsAddr, pair, sizeof pair);
    return 0;
}

int32_t Kernel::sysDup(uint32_t fd)
{
    if (!file(fd))
        return -EBADF;
    const int slot = freeSlot();
    if (slot >= 0)
        fds_[static_cast<size_t>(slot)] = fds_[fd];
    return slot;
}

int32_t Kernel::sysDup2(uint32_t oldFd, uint32_t newFd)
{
    if (!file(oldFd) || newFd >= kMaxDescriptors)
        return -EBADF;
    fds_[newFd] = fds_[oldFd];
    return static_cast<int32_t>(newFd);
}

} // namespace zylos
