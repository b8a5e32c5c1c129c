#include "runner/kernel/console.h"

#include "hostlib/host_call.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace zylos {
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
    // Only the owner reads, so input found ready is still there to read.
    const long r = readyBefore(STDIN_FILENO, POLLIN, deadline, cancelFd)
                       ? retryInterrupted([&] { return ::read(STDIN_FILENO, buf, n); })
                       : -EINTR;
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
        const long r = retryInterrupted(
            [&] { return ::write(fd, static_cast<const char *>(buf) + done, std::min(piece, n - done)); });
        if (r < 0)
            return countOr(done, r);
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
