// The probe guest (tests/programs/probe.c) as the runner tests use it.
#pragma once

#include "harness/guest.h"
#include "harness/temp_dir.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace zylos::test {

namespace fs = std::filesystem;

// Open flags and error results the tests use.
constexpr uint32_t kWriteOnly = 0x1, kCreate = 0x40, kTruncate = 0x200;
constexpr int32_t kENOENT = -2, kEBADF = -9, kEFAULT = -14, kEEXIST = -17, kEINVAL = -22, kEMFILE = -24, kEFBIG = -27;

// A run stopped by "--timeout SECONDS" (0.3 unless given): status 124, one
// line, not before the limit and well before the harness gives up on it.
inline void expectTimedOut(const RunResult &r, const std::string &what, const std::string &seconds = "0.3")
{
    const std::chrono::duration<double> limit(std::stod(seconds));
    EXPECT_EQ(r.status, 124) << what;
    EXPECT_EQ(r.err, "zylos-run: stopped after " + seconds + " seconds (--timeout)\n") << what;
    EXPECT_GE(r.took, limit) << what;
    EXPECT_LT(r.took, std::max<std::chrono::duration<double>>(std::chrono::seconds(5), 10 * limit)) << what;
}

// The count --count printed.
inline uint64_t countOf(const RunResult &r)
{
    std::smatch m;
    if (!std::regex_search(r.err, m, std::regex("zylos-run: ([0-9]+) instructions\n")))
        throw std::runtime_error("no instruction count in: " + r.err);
    return std::stoull(m[1]);
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

} // namespace zylos::test
