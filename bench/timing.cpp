#include "timing.h"

#include "hostlib/command.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

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

std::vector<Fastest> fastestWallMicros(const std::vector<std::vector<std::string>> &commands, int runs)
{
    std::vector<Fastest> best(commands.size());
    for (int round = 0; round < runs; ++round)
        for (size_t i = 0; i < commands.size(); ++i) {
            if (!best[i].error.empty())
                continue;
            try {
                const double t =
                    std::chrono::duration<double, std::micro>(runToEnd(commands[i], Output::Ignore).took).count();
                best[i].micros = std::min(best[i].micros.value_or(t), t);
            } catch (const std::exception &e) {
                best[i] = {std::nullopt, e.what()};
            }
        }
    return best;
}

bool onPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string dir; std::getline(folders, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
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
