// The host folder that is the guest's "/". Every guest path is resolved by
// the host kernel inside it (openat2 with RESOLVE_IN_ROOT), so "..", absolute
// paths and symlinks cannot lead out of it, and no check is separated from
// the open it guards.
#pragma once

#include "unique_fd.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zylos {

class RootDir {
public:
    // Throws std::system_error when hostDir is not an openable folder.
    explicit RootDir(const std::string &hostDir);

    // Paths are guest paths, absolute ("/a/b"). Each call returns 0 or a
    // negative errno.
    int open(std::string_view path, int flags, unsigned mode, UniqueFd &out) const;
    // The folder holding the last component, and that component; "." and
    // ".." and the root itself are refused (-22).
    int openParent(std::string_view path, UniqueFd &dir, std::string &name) const;
    int mkdir(std::string_view path) const;
    int unlink(std::string_view path) const;
    int rmdir(std::string_view path) const;
    // Creates or replaces the file with exactly these bytes.
    int writeFile(std::string_view path, std::span<const uint8_t> data) const;
    // Writes a temporary file beside the target and renames it over the
    // target, so a failure leaves the old content in place.
    static int replaceFile(int dirfd, const std::string &name, std::span<const uint8_t> data);

private:
    // Runs op(parent folder, last component) once the parent is open.
    template <typename Op>
    int inParent(std::string_view path, Op op) const
    {
        UniqueFd dir;
        std::string name;
        if (int r = openParent(path, dir, name))
            return r;
        return op(dir.get(), name);
    }

    UniqueFd root_;
};

} // namespace zylos
