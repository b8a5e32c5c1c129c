#include "hostlib/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace zylos {
namespace {

// A command that hangs is killed after this long, so a test fails instead.
constexpr auto kRunLimit = std::chrono::seconds(120);

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2 failed");
    }
    ~Pipe() { closeEnd(0), closeEnd(1); }
    void closeEnd(int i)
    {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
};

// Starts command with the child's ends of the pipes as its 0, 1 and 2, and
// closes them here.
pid_t startCommand(const std::vector<std::string> &command, Pipe &in, Pipe &out, Pipe &err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + command[0]);
    in.closeEnd(0), out.closeEnd(1), err.closeEnd(1);
    return pid;
}

// Feeds the input and takes the output until the command has closed its
// output, or kills it at the deadline.
void exchange(pid_t pid, const RunOptions &o, Pipe &in, Pipe &out, Pipe &err,
              std::chrono::steady_clock::time_point deadline, RunResult &r)
{
    fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
    size_t fed = 0;
    if (o.input.empty() && !o.holdInput)
        in.closeEnd(1);
    std::vector<char> buf(1 << 20);
    const auto stall = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const auto reading = [&] {
        return o.output != Output::Ignore && (o.output != Output::Trickle || std::chrono::steady_clock::now() < stall);
    };
    while ((reading() && out.fd[0] >= 0) || err.fd[0] >= 0) {
        pollfd fds[3] = {{reading() ? out.fd[0] : -1, POLLIN, 0},
                         {err.fd[0], POLLIN, 0},
                         {o.input.empty() ? -1 : in.fd[1], POLLOUT, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            const bool trickle = i == 0 && o.output == Output::Trickle;
            if (trickle)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const ssize_t n = read(fds[i].fd, buf.data(), trickle ? 100 : buf.size());
            if (n > 0 && i == 0)
                r.outBytes += static_cast<uint64_t>(n);
            if (n > 0 && (i == 1 || o.output == Output::Keep))
                (i == 0 ? r.out : r.err).append(buf.data(), static_cast<size_t>(n));
            else if (n <= 0 && (n == 0 || errno != EINTR))
                (i == 0 ? out : err).closeEnd(0);
        }
        if (fds[2].revents) {
            const ssize_t n = write(in.fd[1], o.input.data() + fed, o.input.size() - fed);
            if (n > 0)
                fed += static_cast<size_t>(n);
            if ((fed == o.input.size() && !o.holdInput) || (n < 0 && errno != EAGAIN && errno != EINTR))
                in.closeEnd(1);
        }
    }
}

} // namespace

RunResult runCommand(const std::vector<std::string> &command, const RunOptions &o)
{
    // The command may exit before reading all of its input.
    signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = startCommand(command, in, out, err);
    RunResult r{};
    exchange(pid, o, in, out, err, start + kRunLimit, r);
    in.closeEnd(1), out.closeEnd(0);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.took = std::chrono::steady_clock::now() - start;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    r.maxRssKiB = usage.ru_maxrss;
    return r;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace zylos
