// The probe guest (tests/programs/probe.c) as the runner tests use it.
#pragma once

#include "elf32.h"
#include "harness/guest.h"
#include "harness/temp_dir.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace zylos::test {

namespace fs = std::filesystem;

// Open flags and error results the tests use.
constexpr uint32_t kWriteOnly = 0x1, kCreate = 0x40, kTruncate = 0x200;
constexpr int32_t kENOENT = -2, kEBADF = -9, kEFAULT = -14, kEEXIST = -17, kEINVAL = -22, kEMFILE = -24, kEFBIG = -27;

// A run stopped by "--timeout 0.3": status 124, one line, close to on time.
inline void expectTimedOut(const RunResult &r, const std::string &what)
{
    EXPECT_EQ(r.status, 124) << what;
    EXPECT_EQ(r.err, "zylos-run: stopped after 0.3 seconds (--timeout)\n") << what;
    EXPECT_GE(r.took, std::chrono::milliseconds(300)) << what;
    EXPECT_LT(r.took, std::chrono::seconds(5)) << what;
}

inline void expectTimedOut(const std::vector<std::string> &argv, const std::string &what)
{
    expectTimedOut(runProgram(argv), what);
}

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
        const std::vector<uint8_t> file = readBytes(programPath("probe"));
        return elf::File(file).symbolValues();
    }();
    return symbols;
}

// Kernel calls made by the probe guest, with the files under its root.
class ProbeCalls : public ::testing::Test {
protected:
    Guest &g = probe();
    fs::path root = g.rootDir();

    int32_t k(uint32_t nr, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0) { return sys(g, nr, a, b, c); }
    uint32_t s(const std::string &text) { return g.str(text); }
    int32_t sysWriteFile(const std::string &path, const std::string &bytes)
    {
        return k(SYS_WRITEFILE, s(path), s(bytes), static_cast<uint32_t>(bytes.size()));
    }
    // What one read of up to 256 bytes gives, or "<error>".
    std::string readAll(uint32_t fd)
    {
        const uint32_t buf = g.alloc(256);
        const int32_t n = k(SYS_READ, fd, buf, 256);
        return n < 0 ? "<" + std::to_string(n) + ">" : std::string(g.readStr(buf).substr(0, static_cast<size_t>(n)));
    }
};

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

// The probe's faults, reported alike by both backends. Data is not
// executable on either.
inline std::vector<FaultCase> probeFaults()
{
    return {{'r', "read of unmapped address 0x00000010", "fault"},
            {'w', "write to read-only address", "fault"},
            {'x', "execution of non-executable address " + hex8(probeSymbols().at("data_area")), "data_area"},
            {'h', "privileged instruction (hlt)", "fault"},
            {'o', "privileged instruction (out)", "fault"},
            {'d', "divide error", "fault"},
            {'u', "invalid instruction", "fault"},
            {'s', "write to unmapped address 0xbfeff", "recurse"}};
}

// Each fault ends the guest with 139 and a line naming what happened, an EIP
// inside the function that did it and that function, then the backtrace.
inline void expectFaultReports(Backend backend)
{
    for (const FaultCase &f : probeFaults()) {
        const RunResult r = runProgram(withBackend(backend, {programPath("probe"), "fault", std::string(1, f.kind)}));
        EXPECT_EQ(r.status, 139) << f.kind;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            r.err, m,
            std::regex("zylos-run: guest fault: (.*) at eip 0x([0-9a-f]{8}) \\((\\w+)\\+0x[0-9a-f]+\\)\n(  .*\n)+")))
            << r.err;
        EXPECT_EQ(m[3], f.function) << r.err;
        EXPECT_EQ(m[1].str().rfind(f.message, 0), 0u) << r.err;
        const uint32_t eip = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16));
        const uint32_t start = probeSymbols().at(f.function);
        EXPECT_GE(eip, start) << r.err;
        EXPECT_LT(eip, start + 0x100) << r.err;
    }
}

} // namespace zylos::test
