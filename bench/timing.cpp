#include "timing.h"

#include "hostlib/command.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>

namespace zylos::bench {
namespace {

// Runs argv to its end; throws unless it exits with 0.
RunResult runToEnd(const std::vector<std::string> &argv, Output output)
{
    RunResult r = runCommand(argv, {"", output});
    if (r.status != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(r.status) + ")");
    return r;
}

} // namespace

double medianWallMicros(const std::vector<std::string> &argv, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const RunResult r = runToEnd(argv, Output::Ignore);
        times.push_back(std::chrono::duration<double, std::micro>(r.took).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[static_cast<size_t>(runs / 2)];
}

std::string captureOutput(const std::vector<std::string> &argv)
{
    return runToEnd(argv, Output::Keep).out;
}

std::map<std::string, uint64_t> selfTimings(const std::vector<std::string> &argv, int runs)
{
    std::map<std::string, uint64_t> best;
    for (int i = 0; i < runs; ++i) {
        std::istringstream in(captureOutput(argv));
        std::string name;
        uint64_t ticks;
        while (in >> name >> ticks) {
            auto [it, fresh] = best.emplace(name, ticks);
            if (!fresh)
                it->second = std::min(it->second, ticks);
        }
    }
    return best;
}

} // namespace zylos::bench
