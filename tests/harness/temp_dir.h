// Host files for the tests: besides the shared reader, writer and temporary
// folder, a folder's names and the open descriptors.
#pragma once

#include "hostlib/host_files.h"

#include <filesystem>
#include <iterator>
#include <set>
#include <string>

namespace zylos::test {

inline std::set<std::string> listing(const std::filesystem::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

inline size_t openHostDescriptors()
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

} // namespace zylos::test
