// The calls on the files and folders of the root: whole files and
// streamed ones, folders, named pipes, the current folder and the
// background.
#include "runner/kernel/task.h"

#include "hostlib/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

namespace zylos {
namespace {

constexpr size_t kMaxStreams = 16;

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

int32_t Task::sysWriteFile(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
        return r;
    std::vector<uint8_t> bytes;
    if (int r = readGuestBytes(mem, a.address(1), a.count(2), bytes))
        return r;
    return kernel_.root.writeFile(path, bytes);
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
    return onRoot(mem, a.address(0), &RootDir::mkdir);
}

int32_t Task::sysUnlink(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
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
    return onRoot(mem, a.address(0), &RootDir::rmdir);
}

int32_t Task::sysStreamBegin(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
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
    const uint32_t data = a.address(1), len = a.count(2);
    auto it = streams_.find(a.index(0));
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
    auto it = streams_.find(a.index(0));
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
    if (int r = guestPath(mem, a.address(0), path))
        return r;
    const int kind = kernel_.root.kind(path);
    return kind < 0 ? kind : kind == S_IFDIR ? -EISDIR : kind == S_IFREG ? 0 : -EINVAL;
}

int32_t Task::sysChdir(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
        return r;
    path = normalize(path);
    UniqueFd dir;
    if (int r = kernel_.root.open(path, O_PATH | O_DIRECTORY, 0, dir))
        return r;
    cwd_ = path;
    return 0;
}

// A named pipe lives in this run's kernel only; nothing is made on the host.
int32_t Task::sysMkfifo(const Args &a, GuestMemory &mem)
{
    std::string path;
    if (int r = guestPath(mem, a.address(0), path))
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

} // namespace zylos
