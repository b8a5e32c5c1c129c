// A task's own state and the way a call reaches its handler: injections,
// scripts and observers, the guest's paths and bytes as the handlers read
// them, and the calls about the process itself.
#include "runner/kernel/task.h"

#include "hostlib/whole_file.h"
#include "runner/kernel/call_table.h"

#include <cerrno>

namespace zylos {
namespace {

constexpr size_t kPathMax = 4096;

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
        rec.result = served(info) ? (this->*info->handler)(CallArgs(args, info->slots), mem) : -ENOSYS;
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

int32_t Task::sysExit(const Args &a, GuestMemory &)
{
    exitStatus_ = a.integer(0);
    return 0;
}

int32_t Task::sysSleep(const Args &a, GuestMemory &)
{
    WaitRoom &s = kernel_.waitRoom;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.sleepUntil(lock, Clock::now() + std::chrono::microseconds(a.count(0)));
    return 0;
}

int32_t Task::sysGetCwd(const Args &a, GuestMemory &mem)
{
    const uint32_t buf = a.address(0), size = a.count(1);
    if (size < cwd_.size() + 1)
        return -ERANGE;
    if (!mem.write(buf, cwd_.c_str(), cwd_.size() + 1))
        return -EFAULT;
    return static_cast<int32_t>(cwd_.size());
}

} // namespace zylos
