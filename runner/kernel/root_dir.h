// The host folder that is the guest's "/". Every guest path is resolved by
// the host kernel inside it (openat2 with RESOLVE_IN_ROOT), so "..", absolute
// paths and symlinks cannot lead out of it, and no check is separated from
// the open it guards.
#pragma once

#include "runner/kernel/unique_fd.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zylos {

class RootDir {
public:
    // Throws std::system_error when hostDir is not an openable folder. A
    // read-only root refuses every change with -30.
    explicit RootDir(const std::string &hostDir, bool readOnly = false);

    // Paths are guest paths, absolute ("/a/b"). Each call returns 0 or a
    // negative errno.
    int open(std::string_view path, int flags, unsigned mode, UniqueFd &out) const;
    // Opens a regular file or folder only: anything else is refused (-6)
    // before it is opened, so no fifo or device sees an open from us.
    int openFile(std::string_view path, int flags, unsigned mode, UniqueFd &out) const;
    // The type bits (S_IFMT) of what path names, found without opening it.
    int kind(std::string_view path) const;
    // The folder holding the last component, and that component, for a
    // change there; "." and ".." and the root itself are refused (-22), a
    // trailing slash after something that is not a folder too (-20). When the
    // name is to become a file, any trailing slash is refused (-21).
    int openParent(std::string_view path, UniqueFd &dir, std::string &name, bool forFile = false) const;
    // Where path's last component is, as the host resolves it: the device
    // and inode of the folder holding it, and its name. Every spelling of one
    // place in the root (through "..", symlinks or the current folder) gives
    // the same text; for things that exist in this run only.
    int placeOf(std::string_view path, std::string &place) const;
    int mkdir(std::string_view path) const;
    int unlink(std::string_view path) const;
    int rmdir(std::string_view path) const;
    // Creates or replaces the file with exactly these bytes.
    int writeFile(std::string_view path, std::span<const uint8_t> data) const;
    // Writes an unnamed file in the folder and only then gives it the name,
    // so a failure leaves the old content in place and a runner killed
    // meanwhile leaves nothing behind.
    static int replaceFile(int dirfd, const std::string &name, std::span<const uint8_t> data);
    // The two halves of replaceFile, for a file written piece by piece: an
    // unnamed file in the folder, and then its name, replacing what had it.
    static int unnamedFile(int dirfd, UniqueFd &out);
    static int nameFile(int fd, int dirfd, const std::string &name);

private:
    int parentOf(std::string_view path, UniqueFd &dir, std::string &name, bool forFile) const;
    // Runs op(parent folder, last component) once the parent is open.
    template <typename Op>
    int inParent(std::string_view path, Op op, bool forFile = false) const
    {
        UniqueFd dir;
        std::string name;
        if (int r = openParent(path, dir, name, forFile))
            return r;
        return op(dir.get(), name);
    }

    UniqueFd root_;
    bool readOnly_;
};

} // namespace zylos
