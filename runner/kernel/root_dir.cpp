#include "runner/kernel/root_dir.h"

#include "hostlib/host_call.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <random>
#include <system_error>

namespace zylos {
namespace {

int writeAll(int fd, std::span<const uint8_t> data)
{
    while (!data.empty()) {
        const long r = retryInterrupted([&] { return ::write(fd, data.data(), data.size()); });
        if (r < 0)
            return static_cast<int>(r);
        data = data.subspan(static_cast<size_t>(r));
    }
    return 0;
}

int fileKind(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -errno;
    return static_cast<int>(st.st_mode & S_IFMT);
}

std::string procPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Holds back every signal that can be held back while a file takes its
// name, so that no temporary name is left behind by an ordinary signal.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t old_;
};

std::string temporaryName()
{
    thread_local std::mt19937 random{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, ".zylos-tmp-%08x", static_cast<unsigned>(random()));
    return name;
}

} // namespace

RootDir::RootDir(const std::string &hostDir, bool readOnly)
    : root_(::open(hostDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), readOnly_(readOnly)
{
    if (!root_)
        throw std::system_error(errno, std::generic_category(), "root folder " + hostDir);
}

int RootDir::open(std::string_view path, int flags, unsigned mode, UniqueFd &out) const
{
    const std::string p(path);
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    // openat2 answers EAGAIN when a rename raced the resolution; try again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const long fd = syscall(SYS_openat2, root_.get(), p.c_str(), &how, sizeof how);
        if (fd >= 0) {
            out = UniqueFd(static_cast<int>(fd));
            return 0;
        }
        if (errno != EAGAIN && errno != EINTR)
            return -errno;
    }
    return -EAGAIN;
}

int RootDir::openFile(std::string_view path, int flags, unsigned mode, UniqueFd &out) const
{
    if (readOnly_ && ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC))))
        return -EROFS;
    // Something may appear between the look and a creating open; O_EXCL
    // makes that open fail instead of opening it, and the look is repeated.
    int r = -EEXIST;
    for (int attempt = 0; attempt < 3 && r == -EEXIST; ++attempt) {
        UniqueFd found;
        r = open(path, O_PATH, 0, found);
        if (r == -ENOENT && (flags & O_CREAT)) {
            r = open(path, flags | O_EXCL, mode, out);
            if (flags & O_EXCL)
                return r;
            continue;
        }
        if (r != 0)
            return r;
        if (flags & O_CREAT && flags & O_EXCL)
            return -EEXIST;
        const int k = fileKind(found.get());
        if (k < 0)
            return k;
        if (k != S_IFREG && k != S_IFDIR)
            return -ENXIO;
        out = UniqueFd(::open(procPath(found.get()).c_str(), (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC));
        return out ? 0 : -errno;
    }
    return r;
}

int RootDir::kind(std::string_view path) const
{
    UniqueFd found;
    if (int r = open(path, O_PATH, 0, found))
        return r;
    return fileKind(found.get());
}

int RootDir::openParent(std::string_view path, UniqueFd &dir, std::string &name, bool forFile) const
{
    if (readOnly_)
        return -EROFS;
    return parentOf(path, dir, name, forFile);
}

int RootDir::placeOf(std::string_view path, std::string &place) const
{
    UniqueFd dir;
    std::string name;
    if (int r = parentOf(path, dir, name, false))
        return r;
    struct stat st;
    if (::fstat(dir.get(), &st) != 0)
        return -errno;
    place = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + name;
    return 0;
}

int RootDir::parentOf(std::string_view path, UniqueFd &dir, std::string &name, bool forFile) const
{
    const size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos)
        return -EINVAL;
    const size_t slash = path.rfind('/', end);
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    name = path.substr(start, end + 1 - start);
    if (name == "." || name == "..")
        return -EINVAL;
    if (end + 1 < path.size()) {
        UniqueFd target;
        if (open(path, O_PATH | O_DIRECTORY, 0, target) == -ENOTDIR)
            return -ENOTDIR;
        if (forFile)
            return -EISDIR;
    }
    return open(start == 0 ? "/" : path.substr(0, start), O_PATH | O_DIRECTORY, 0, dir);
}

namespace {

int resultOf(int r)
{
    return r == 0 ? 0 : -errno;
}

} // namespace

int RootDir::mkdir(std::string_view path) const
{
    return inParent(path,
                    [](int dir, const std::string &name) { return resultOf(::mkdirat(dir, name.c_str(), 0755)); });
}

int RootDir::unlink(std::string_view path) const
{
    return inParent(path, [](int dir, const std::string &name) { return resultOf(::unlinkat(dir, name.c_str(), 0)); });
}

int RootDir::rmdir(std::string_view path) const
{
    return inParent(
        path, [](int dir, const std::string &name) { return resultOf(::unlinkat(dir, name.c_str(), AT_REMOVEDIR)); });
}

int RootDir::writeFile(std::string_view path, std::span<const uint8_t> data) const
{
    return inParent(
        path, [&](int dir, const std::string &name) { return replaceFile(dir, name, data); }, true);
}

int RootDir::replaceFile(int dirfd, const std::string &name, std::span<const uint8_t> data)
{
    UniqueFd file;
    if (int r = unnamedFile(dirfd, file))
        return r;
    if (int r = writeAll(file.get(), data))
        return r;
    return nameFile(file.get(), dirfd, name);
}

int RootDir::unnamedFile(int dirfd, UniqueFd &out)
{
    out = UniqueFd(::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (out)
        return 0;
    // A removed folder refuses an unnamed file with EPERM; by name it is ENOENT.
    const int err = errno;
    struct stat st;
    return ::fstat(dirfd, &st) == 0 && st.st_nlink == 0 ? -ENOENT : -err;
}

int RootDir::nameFile(int fd, int dirfd, const std::string &name)
{
    const std::string from = procPath(fd);
    const SignalsHeld held;
    // A new name is given at once; an existing one is replaced by a rename
    // from a temporary name, the only moment such a name exists.
    if (::linkat(AT_FDCWD, from.c_str(), dirfd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno != EEXIST)
        return -errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tmp = temporaryName();
        if (::linkat(AT_FDCWD, from.c_str(), dirfd, tmp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            return -errno;
        }
        const int r = ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) == 0 ? 0 : -errno;
        if (r != 0)
            ::unlinkat(dirfd, tmp.c_str(), 0);
        return r;
    }
    return -EEXIST;
}

} // namespace zylos
