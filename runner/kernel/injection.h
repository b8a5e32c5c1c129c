// A kernel call that is not performed but answered with a given result, as
// --inject asks and the tests use.
#pragma once

#include <cstdint>
#include <string>

namespace zylos {

struct Injection {
    std::string name;
    unsigned nth; // 1-based among the calls of that name; 0: every one
    int32_t result;
};

} // namespace zylos
