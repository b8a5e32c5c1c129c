#include "root_dir.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

namespace zylos {
namespace {

int writeAll(int fd, std::span<const uint8_t> data)
{
    while (!data.empty()) {
        const ssize_t r = ::write(fd, data.data(), data.size());
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -errno;
        data = data.subspan(static_cast<size_t>(r));
    }
    return 0;
}

std::string temporaryName()
{
    thread_local std::mt19937 random{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, ".zylos-tmp-%08x", static_cast<unsigned>(random()));
    return name;
}

} // namespace

RootDir::RootDir(const std::string &hostDir) : root_(::open(hostDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))
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

int RootDir::openParent(std::string_view path, UniqueFd &dir, std::string &name) const
{
    const size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos)
        return -EINVAL;
    const size_t slash = path.rfind('/', end);
    const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    name = path.substr(start, end + 1 - start);
    if (name == "." || name == "..")
        return -EINVAL;
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
    return inParent(path, [](int dir, const std::string &name) { return resultOf(::mkdirat(dir, name.c_str(), 0755)); });
}

int RootDir::unlink(std::string_view path) const
{
    return inParent(path, [](int dir, const std::string &name) { return resultOf(::unlinkat(dir, name.c_str(), 0)); });
}

int RootDir::rmdir(std::string_view path) const
{
    return inParent(path,
                    [](int dir, const std::string &name) { return resultOf(::unlinkat(dir, name.c_str(), AT_REMOVEDIR)); });
}

int RootDir::writeFile(std::string_view path, std::span<const uint8_t> data) const
{
    return inParent(path, [&](int dir, const std::string &name) { return replaceFile(dir, name, data); });
}

int RootDir::replaceFile(int dirfd, const std::string &name, std::span<const uint8_t> data)
{
    std::string tmp;
    UniqueFd file;
    for (int attempt = 0; !file; ++attempt) {
        if (attempt == 100)
            return -EEXIST;
        tmp = temporaryName();
        file = UniqueFd(::openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!file && errno != EEXIST)
            return -errno;
    }
    int r = writeAll(file.get(), data);
    if (r == 0 && ::renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0)
        r = -errno;
    if (r != 0)
        ::unlinkat(dirfd, tmp.c_str(), 0);
    return r;
}

} // namespace zylos
