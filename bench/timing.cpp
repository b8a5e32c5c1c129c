#include "timing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace zylos::bench {
namespace {

// Runs argv with standard output to outFd (or discarded) and standard error
// discarded; throws unless it exits with 0.
void runToEnd(const std::vector<std::string> &argv, int outFd)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int err = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) + ")");
}

} // namespace

double medianWallMicros(const std::vector<std::string> &argv, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        runToEnd(argv, -1);
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[static_cast<size_t>(runs / 2)];
}

std::string captureOutput(const std::vector<std::string> &argv)
{
    char path[] = "/tmp/zylos-bench-out-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary file");
    unlink(path);
    try {
        runToEnd(argv, fd);
    } catch (...) {
        close(fd);
        throw;
    }
    std::string out;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
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
