// The probe guest (tests/programs/probe.c) as the runner tests use it.
#pragma once

#include "elf_symbols.h"
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

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

// The probe's symbols, read from its file.
inline const auto &probeSymbols()
{
    static const auto symbols = [] {
        std::ifstream in(programPath("probe"), std::ios::binary);
        return readSymbols(std::vector<uint8_t>{std::istreambuf_iterator<char>(in), {}});
    }();
    return symbols;
}

inline std::string hex8(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

struct FaultCase {
    char kind;            // the probe's "fault" argument
    std::string message;  // how the report after "guest fault: " begins
    const char *function; // the probe function EIP lies in
};

// Each fault ends the guest with 139 and one line naming what happened and
// an EIP inside the function that did it.
inline void expectFaultReports(Backend backend, const std::vector<FaultCase> &cases)
{
    for (const FaultCase &f : cases) {
        const RunResult r = runProgram(withBackend(backend, {programPath("probe"), "fault", std::string(1, f.kind)}));
        EXPECT_EQ(r.status, 139) << f.kind;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.err, m, std::regex("zylos-run: guest fault: (.*) at eip 0x([0-9a-f]{8})\n")))
            << r.err;
        EXPECT_EQ(m[1].str().rfind(f.message, 0), 0u) << r.err;
        const uint32_t eip = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16));
        const uint32_t start = probeSymbols().at(f.function);
        EXPECT_GE(eip, start) << r.err;
        EXPECT_LT(eip, start + 0x100) << r.err;
    }
}

} // namespace zylos::test
