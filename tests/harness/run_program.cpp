#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char **environ;

namespace zylos::test {
namespace {

// A runner that hangs is killed after this long, so a test fails instead.
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

} // namespace

RunResult runProgram(const std::vector<std::string> &args, const std::string &stdinBytes)
{
    // The runner may exit before reading all of its input.
    signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    std::vector<char *> argv{const_cast<char *>(ZYLOS_RUN_PATH)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, ZYLOS_RUN_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error(std::string("cannot start ") + ZYLOS_RUN_PATH);
    in.closeEnd(0), out.closeEnd(1), err.closeEnd(1);
    fcntl(in.fd[1], F_SETFL, O_NONBLOCK);

    RunResult r{0, "", ""};
    size_t fed = 0;
    if (stdinBytes.empty())
        in.closeEnd(1);
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents)
                continue;
            char buf[65536];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                (i == 0 ? out : err).closeEnd(0);
        }
        if (fds[2].revents) {
            const ssize_t n = write(in.fd[1], stdinBytes.data() + fed, stdinBytes.size() - fed);
            if (n > 0)
                fed += static_cast<size_t>(n);
            if (fed == stdinBytes.size() || (n < 0 && errno != EAGAIN && errno != EINTR))
                in.closeEnd(1);
        }
    }
    in.closeEnd(1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return r;
}

std::string backendName(Backend b) { return b == Backend::Native ? "native" : "emulated"; }

std::vector<std::string> withBackend(Backend b, std::vector<std::string> argv)
{
    if (b == Backend::Native)
        argv.insert(argv.begin(), "--native");
    return argv;
}

const std::string &backendUnavailable(Backend b)
{
    static const std::string none;
    static const std::string native = [] {
        const RunResult r = runProgram({"--native", programPath("probe"), "exit", "0"});
        return r.status == 125 && r.err.find("not available on this host") != std::string::npos ? r.err : "";
    }();
    return b == Backend::Native ? native : none;
}

} // namespace zylos::test
