#include "runner/debug/profile_output.h"

#include "hostlib/host_call.h"
#include "runner/kernel/root_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace zylos {
namespace {

int writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const long n = retryInterrupted([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n <= 0)
            return n < 0 ? static_cast<int>(n) : -ENOSPC;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

} // namespace

int ProfileOutput::prepare(const std::string &path)
{
    path_ = path;
    struct stat st;
    // Anything but a regular file is written in place at the end; what
    // cannot be written is refused now, before the run.
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            return -EISDIR;
        return ::access(path.c_str(), W_OK) == 0 ? 0 : -errno;
    }
    // A link to a file replaces the file it names, not the link.
    std::filesystem::path target = path;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        target = std::filesystem::canonical(path, ec);
        if (ec)
            return -ec.value();
    }
    const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    name_ = target.filename();
    folder_ = UniqueFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder_)
        return -errno;
    return RootDir::unnamedFile(folder_.get(), file_);
}

int ProfileOutput::commit(const Profiler &profiler)
{
    if (!file_) {
        const UniqueFd in(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
        return in ? writeFolded(profiler, in.get()) : -errno;
    }
    if (int r = writeFolded(profiler, file_.get()))
        return r;
    return RootDir::nameFile(file_.get(), folder_.get(), name_);
}

int ProfileOutput::writeFolded(const Profiler &profiler, int fd)
{
    // Lines are gathered into pieces of 64 KiB: the whole text may be far larger.
    constexpr size_t kPiece = 64 << 10;
    std::string piece;
    int error = 0;
    profiler.folded([&](std::string_view line) {
        piece += line;
        if (piece.size() >= kPiece) {
            if (!error)
                error = writeAll(fd, piece);
            piece.clear();
        }
    });
    return error ? error : writeAll(fd, piece);
}

} // namespace zylos
