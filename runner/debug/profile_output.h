// The file --profile writes. Nothing of it is touched before the run has
// started, and it appears whole at the end, as a guest's whole-file writes
// do: a run that is refused or killed leaves what was there before.
#pragma once

#include "runner/debug/profiler.h"
#include "runner/kernel/unique_fd.h"

#include <string>

namespace zylos {

class ProfileOutput {
public:
    // Makes the file's unnamed successor in its folder (a path naming
    // something other than a regular file, such as /dev/stdout, is written
    // in place at the end instead). 0, or a negative errno: -EISDIR for a
    // folder, and what opening it would give for a target not writable.
    int prepare(const std::string &path);
    // Writes the folded stacks and gives the file its name. 0, or a negative errno.
    int commit(const Profiler &profiler);

private:
    int writeFolded(const Profiler &profiler, int fd);

    std::string path_, name_;
    UniqueFd folder_, file_;
};

} // namespace zylos
