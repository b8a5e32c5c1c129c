// The probe guest (tests/programs/probe.c) as the runner tests use it.
#pragma once

#include "harness/guest.h"

#include <cstdint>

namespace zylos::test {

// One instance per test executable, reset for each test.
inline Guest &probe()
{
    static Guest g(programPath("probe"));
    g.reset();
    return g;
}

// A raw kernel call made by the guest.
inline int32_t sys(Guest &g, uint32_t nr, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
{
    return static_cast<int32_t>(g.call("probe_sys", {nr, a, b, c}));
}

} // namespace zylos::test
