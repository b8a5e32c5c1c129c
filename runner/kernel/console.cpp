#include "runner/kernel/console.h"

#include "hostlib/host_call.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace zylos {
namespace {

// True once fd is ready for events; false when the deadline comes first or
// cancelFd becomes readable.
bool readyBefore(int fd, short events, const Deadline &deadline, int cancelFd)
{
    if (!deadline && cancelFd < 0)
        return true;
    for (;;) {
        const int timeout = deadline.pollTimeout();
        if (timeout == 0)
            return false;
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int ready = ::poll(p, cancelFd < 0 ? 1 : 2, timeout);
        if (ready == 0 || (ready > 0 && p[1].revents))
            return false;
        if (ready > 0 || errno != EINTR)
            return true;
    }
}

} // namespace

// False when the deadline comes first; at the end of the run the reader
// returns at once, and each waiter after it, as the cancel descriptor stays
// readable.
bool HostConsole::takeInput()
{
    std::unique_lock<std::mutex> lock(inputMutex_);
    const auto free = [this] { return !inputTaken_; };
    if (deadline) {
        if (!inputFree_.wait_until(lock, deadline.at(), free))
            return false;
    } else {
        inputFree_.wait(lock, free);
    }
    inputTaken_ = true;
    return true;
}

void HostConsole::releaseInput()
{
    {
        const std::lock_guard<std::mutex> lock(inputMutex_);
        inputTaken_ = false;
    }
    inputFree_.notify_all();
}

long HostConsole::read(void *buf, size_t n)
{
    if (!takeInput())
        return -EINTR;
    long r;
    for (;;) {
        if (!readyBefore(STDIN_FILENO, POLLIN, deadline, cancelFd)) {
            r = -EINTR;
            break;
        }
        const ssize_t got = ::read(STDIN_FILENO, buf, n);
        if (got >= 0 || errno != EINTR) {
            r = got >= 0 ? got : -errno;
            break;
        }
    }
    releaseInput();
    return r;
}

// A reader that stops reading must not keep the guest past its deadline
// either: with one, every piece waits for room and is small enough for a
// pipe with room to take it without blocking.
long HostConsole::write(int stream, const void *buf, size_t n)
{
    const int fd = stream == 2 ? STDERR_FILENO : STDOUT_FILENO;
    const size_t piece = deadline || cancelFd >= 0 ? PIPE_BUF : n;
    size_t done = 0;
    while (done < n) {
        if (!readyBefore(fd, POLLOUT, deadline, cancelFd))
            return countOr(done, -EINTR);
        const ssize_t r = ::write(fd, static_cast<const char *>(buf) + done, std::min(piece, n - done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return countOr(done, -errno);
        done += static_cast<size_t>(r);
    }
    return static_cast<long>(done);
}

long StringConsole::read(void *buf, size_t n)
{
    const size_t take = std::min(n, input.size() - inputPos);
    std::memcpy(buf, input.data() + inputPos, take);
    inputPos += take;
    return static_cast<long>(take);
}

long StringConsole::write(int stream, const void *buf, size_t n)
{
    (stream == 2 ? errors : output).append(static_cast<const char *>(buf), n);
    return static_cast<long>(n);
}

} // namespace zylos
