#include "runner/kernel/task.h"

#include "hostlib/whole_file.h"
#include "runner/kernel/call_table.h"
#include "runner/kernel/layout.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

namespace zylos {
namespace {

// One kernel call moves at most this much in a read; writes loop over it.
constexpr size_t kTransferSize = 65536;
// The most one write moves, so that the count it returns stays positive.
constexpr uint32_t kMaxTransfer = 0x7FFFF000;
constexpr size_t kMaxStreams = 16;
constexpr size_t kPathMax = 4096;
constexpr uint32_t kWaitNoHang = 1;

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

Task::Task(RootDir root, Console &console)
    : own_(std::make_unique<Kernel>(std::move(root), console)), kernel_(*own_), id_(1), transfer_(kTransferSize)
{
    installConsole();
}

Task::Task(Kernel &kernel, uint32_t id) : kernel_(kernel), id_(id), transfer_(kTransferSize)
{
    installConsole();
}

void Task::installConsole()
{
    fds_[0] = std::make_shared<ConsoleInput>(kernel_.console);
    fds_[1] = std::make_shared<ConsoleOutput>(kernel_.console, 1, kernel_.writeChunk);
    fds_[2] = std::make_shared<ConsoleOutput>(kernel_.console, 2, kernel_.writeChunk);
}

int Task::makeChild(uint32_t id, std::unique_ptr<Task> &child) const
{
    auto k = std::make_unique<Task>(kernel_, id);
    for (size_t i = 0; i < kMaxDescriptors; ++i) {
        const size_t from = i < stdio_.size() ? stdio_[i] : i;
        if (i < stdio_.size() && !file(static_cast<uint32_t>(from)))
            return -EBADF;
        k->fds_[i] = i < stdio_.size() || inherit_ ? fds_[from] : nullptr;
        k->nonblock_[i] = k->fds_[i] && nonblock_[from];
    }
    k->cwd_ = cwd_;
    k->injections_ = injections_;
    k->script_ = script_;
    k->observer_ = observer_;
    child = std::move(k);
    return 0;
}

void Task::inject(std::string name, unsigned nth, int32_t result)
{
    injections_.push_back({std::move(name), nth, result});
}

void Task::setRoot(RootDir root)
{
    kernel_.root = std::move(root);
    cwd_ = "/";
}

int32_t Task::call(uint32_t nr, const uint32_t (&args)[3], GuestMemory &mem)
{
    const CallInfo *info = findCall(nr);
    CallRecord rec{info ? info->name : callName(nr), nr, {args[0], args[1], args[2]}, 0, false, id_};
    std::optional<int32_t> replaced = injectedResult(rec.name, nr);
    if (!replaced && script_)
        replaced = script_(rec, mem);
    rec.injected = replaced.has_value();
    if (replaced)
        rec.result = *replaced;
    else
        rec.result = info && info->handler ? (this->*info->handler)(args, mem) : -ENOSYS;
    if (observer_)
        observer_(rec, mem);
    return rec.result;
}

std::optional<int32_t> Task::injectedResult(const std::string &name, uint32_t nr)
{
    const unsigned n = ++seen_[nr];
    for (const Injection &i : injections_)
        if (i.name == name && (i.nth == 0 || i.nth == n))
            return i.result;
    return std::nullopt;
}

int Task::guestPath(GuestMemory &mem, uint32_t addr, std::string &path, std::string *written) const
{
    std::string name;
    if (int r = mem.readString(addr, kPathMax - 1, name))
        return r;
    if (name.empty())
        return -ENOENT;
    path = name[0] == '/' ? name : (cwd_ == "/" ? "/" : cwd_ + "/") + name;
    if (written)
        *written = std::move(name);
    return 0;
}

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

OpenFile *Task::file(uint32_t fd) const
{
    return fd < kMaxDescriptors ? fds_[fd].get() : nullptr;
}

int Task::freeSlot(size_t from) const
{
    for (size_t i = from; i < kMaxDescriptors; ++i)
        if (!fds_[i])
            return static_cast<int>(i);
    return -EMFILE;
}

// A bad pointer is -14 whatever the length, and is found before any host
// memory is set aside for the bytes.
int Task::readGuestBytes(GuestMemory &mem, uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const
{
    if (!mem.accessible(addr, len, false))
        return -EFAULT;
    if (len > kMaxFileBytes)
        return -EFBIG;
    out.resize(len);
    mem.read(addr, out.data(), len);
    return 0;
}

int32_t Task::sysWrite(const Args &a, GuestMemory &mem)
{
    const uint32_t fd = a[0], buf = a[1];
    OpenFile *f = file(fd);
    if (!f)
        return -EBADF;
    if (!mem.accessible(buf, a[2], false))
        return -EFAULT;
    const uint32_t len = std::min(a[2], kMaxTransfer);
    uint32_t done = 0;
    while (done < len) {
        const size_t n = std::min<size_t>(len - done, kTransferSize);
        mem.read(buf + done, transfer_.data(), n);
        const long r = f->write({transfer_.data(), n}, nonblock_[fd]);
        if (r < 0)
            return done ? static_cast<int32_t>(done) : static_cast<int32_t>(r);
        done += static_cast<uint32_t>(r);
        if (static_cast<size_t>(r) < n)
            break;
    }
    return static_cast<int32_t>(done);
}

int32_t Task::sysExit(const Args &a, GuestMemory &)
{
    exitStatus_ = static_cast<int32_t>(a[0]);
    return 0;
}

int32_t Task::sysRead(const Args &a, GuestMemory &mem)
{
    const uint32_t fd = a[0], buf = a[1], len = a[2];
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
    const uint32_t flags = a[1];
    std::string path;
    if (int r = guestPath(mem, a[0], path))
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
    const uint32_t fd = a[0];
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

int32_t Task::sysWriteFile(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    std::vector<uint8_t> bytes;
    if (int r = readGuestBytes(mem, a[1], a[2], bytes))
        return r;
    return kernel_.root.writeFile(path, bytes);
}

int32_t Task::sysSleep(const Args &a, GuestMemory &)
{
    WaitRoom &s = kernel_.waitRoom;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.sleepUntil(lock, Clock::now() + std::chrono::microseconds(a[0]));
    return 0;
}

int32_t Task::onRoot(GuestMemory &mem, uint32_t pathAddr, int (RootDir::*op)(std::string_view) const)
{
    std::string path;
    if (int r = guestPath(mem, pathAddr, path))
        return r;
    return (kernel_.root.*op)(path);
}

int32_t Task::sysMkdir(const Args &a, GuestMemory &mem)
{
    return onRoot(mem, a[0], &RootDir::mkdir);
}

int32_t Task::sysUnlink(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    if (std::string place; kernel_.root.placeOf(path, place) == 0) {
        const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
        if (kernel_.fifos.erase(place))
            return 0;
    }
    return kernel_.root.unlink(path);
}

int32_t Task::sysRmdir(const Args &a, GuestMemory &mem)
{
    return onRoot(mem, a[0], &RootDir::rmdir);
}

int32_t Task::sysGetCwd(const Args &a, GuestMemory &mem)
{
    const uint32_t buf = a[0], size = a[1];
    if (size < cwd_.size() + 1)
        return -ERANGE;
    if (!mem.write(buf, cwd_.c_str(), cwd_.size() + 1))
        return -EFAULT;
    return static_cast<int32_t>(cwd_.size());
}

int32_t Task::sysStreamBegin(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    if (streams_.size() >= kMaxStreams)
        return -EMFILE;
    Stream s;
    if (int r = kernel_.root.openParent(path, s.dir, s.name, true))
        return r;
    const uint32_t handle = nextStream_++;
    streams_.emplace(handle, std::move(s));
    return static_cast<int32_t>(handle);
}

int32_t Task::sysStreamWrite(const Args &a, GuestMemory &mem)
{
    const uint32_t data = a[1], len = a[2];
    auto it = streams_.find(a[0]);
    if (it == streams_.end())
        return -EBADF;
    if (!mem.accessible(data, len, false))
        return -EFAULT;
    // The limit holds for all open streams together, so that a guest cannot
    // make the runner hold more than one file's worth of bytes.
    if (len > kMaxFileBytes - streamBytes_)
        return -EFBIG;
    std::vector<uint8_t> &content = it->second.data;
    const size_t old = content.size();
    content.resize(old + len);
    mem.read(data, content.data() + old, len);
    streamBytes_ += len;
    return static_cast<int32_t>(len);
}

int32_t Task::sysStreamEnd(const Args &a, GuestMemory &)
{
    auto it = streams_.find(a[0]);
    if (it == streams_.end())
        return -EBADF;
    const Stream s = std::move(it->second);
    streams_.erase(it);
    streamBytes_ -= s.data.size();
    return RootDir::replaceFile(s.dir.get(), s.name, s.data);
}

int32_t Task::sysSetBackground(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    const int kind = kernel_.root.kind(path);
    return kind < 0 ? kind : kind == S_IFDIR ? -EISDIR : kind == S_IFREG ? 0 : -EINVAL;
}

int32_t Task::sysChdir(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    path = normalize(path);
    UniqueFd dir;
    if (int r = kernel_.root.open(path, O_PATH | O_DIRECTORY, 0, dir))
        return r;
    cwd_ = path;
    return 0;
}

int32_t Task::sysLseek(const Args &a, GuestMemory &)
{
    const uint32_t whence = a[2];
    OpenFile *f = file(a[0]);
    if (!f)
        return -EBADF;
    if (whence > SEEK_END)
        return -EINVAL;
    const int64_t old = f->seek(0, SEEK_CUR);
    const int64_t r = f->seek(static_cast<int32_t>(a[1]), static_cast<int>(whence));
    if (r <= INT32_MAX)
        return static_cast<int32_t>(r);
    // A position the guest cannot be told is refused, and the file stays where it was.
    f->seek(old, SEEK_SET);
    return -EOVERFLOW;
}

int32_t Task::sysPipe(const Args &a, GuestMemory &mem)
{
    const uint32_t fdsAddr = a[0];
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

// A named pipe lives in this run's kernel only; nothing is made on the host.
int32_t Task::sysMkfifo(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a[0], path))
        return r;
    UniqueFd dir;
    std::string name;
    if (int r = kernel_.root.openParent(path, dir, name, true))
        return r;
    if (const int kind = kernel_.root.kind(path); kind != -ENOENT)
        return kind < 0 ? kind : -EEXIST;
    // Keyed by where the path leads, as the check above and open see it,
    // not by how it is spelled.
    std::string place;
    if (int r = kernel_.root.placeOf(path, place))
        return r;
    const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
    auto [it, made] = kernel_.fifos.try_emplace(place, nullptr);
    if (!made)
        return -EEXIST;
    it->second = std::make_shared<PipeBuffer>(kernel_.waitRoom);
    return 0;
}

int32_t Task::sysDup(const Args &a, GuestMemory &)
{
    const uint32_t fd = a[0];
    if (!file(fd))
        return -EBADF;
    const int slot = freeSlot();
    if (slot >= 0)
        fds_[static_cast<size_t>(slot)] = fds_[fd];
    return slot;
}

int32_t Task::sysDup2(const Args &a, GuestMemory &)
{
    const uint32_t oldFd = a[0], newFd = a[1];
    if (!file(oldFd) || newFd >= kMaxDescriptors)
        return -EBADF;
    if (newFd != oldFd) {
        fds_[newFd] = fds_[oldFd];
        nonblock_[newFd] = false;
    }
    return static_cast<int32_t>(newFd);
}

int32_t Task::sysSetInherit(const Args &a, GuestMemory &)
{
    inherit_ = a[0] != 0;
    return 0;
}

int32_t Task::sysSetStdio(const Args &a, GuestMemory &)
{
    stdio_ = {a[0], a[1], a[2]};
    return 0;
}

int32_t Task::sysSetNonblock(const Args &a, GuestMemory &)
{
    if (!file(a[0]))
        return -EBADF;
    nonblock_[a[0]] = a[1] != 0;
    return 0;
}

int32_t Task::sysSpawn(const Args &a, GuestMemory &mem)
{
    if (!kernel_.processes)
        return -ENOSYS;
    std::string path, written;
    if (int r = guestPath(mem, a[0], path, &written))
        return r;
    std::vector<std::string> argv;
    if (int r = guestArguments(mem, a[1], static_cast<int32_t>(a[2]), written, argv))
        return r;
    return kernel_.processes->spawn(*this, path, argv);
}

int32_t Task::sysWaitpid(const Args &a, GuestMemory &mem)
{
    const uint32_t statusAddr = a[1], options = a[2];
    if (!kernel_.processes)
        return -ENOSYS;
    if (options & ~kWaitNoHang)
        return -EINVAL;
    // Checked first, so that a status is never collected and then lost.
    if (statusAddr && !mem.accessible(statusAddr, 4, true))
        return -EFAULT;
    int32_t status = 0;
    const int32_t r = kernel_.processes->wait(id_, static_cast<int32_t>(a[0]), options & kWaitNoHang, status);
    if (r > 0 && statusAddr)
        mem.write(statusAddr, &status, sizeof status);
    return r;
}

} // namespace zylos
