// What the kernel asks of whoever runs the processes of a run: spawn and
// waitpid are served through it, so that the kernel knows nothing of loaders
// or engines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zylos {

class Task;

class ProcessHost {
public:
    virtual ~ProcessHost() = default;
    // Starts the executable at path (a guest path) as a child of parent with
    // argv: its id, or a negative errno.
    virtual int32_t spawn(const Task &parent, const std::string &path, const std::vector<std::string> &argv) = 0;
    // waitpid for parent: the id of an ended child (pid, or any for -1) with
    // its status, 0 with noHang while it runs, or a negative errno.
    virtual int32_t wait(uint32_t parent, int32_t pid, bool noHang, int32_t &status) = 0;
};

} // namespace zylos
