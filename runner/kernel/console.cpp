#include "runner/kernel/console.h"

#include "hostlib/host_call.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace zylos {
bool HostConsole::Turn::take(const Deadline &deadline)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto free = [this] { return !taken_; };
    if (deadline) {
        if (!free_.wait_until(lock, deadline.at(), free))
            return false;
    } else {
        free_.wait(lock, free);
    }
    taken_ = true;
    return true;
}

void HostConsole::Turn::release()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        taken_ = false;
    }
    free_.notify_all();
}

long HostConsole::read(void *buf, size_t n)
{
    if (!input_.take(deadline))
        return -EINTR;
    const long r = readyBefore(STDIN_FILENO, POLLIN, deadline, cancelFd)
                       ? retryInterrupted([&] { return ::read(STDIN_FILENO, buf, n); })
                       : -EINTR;
    input_.release();
    return r;
}

HostConsole::HostConsole()
{
    struct stat out {}, err {};
    errorsAreOutput_ = fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0 ||
                       (out.st_dev == err.st_dev && out.st_ino == err.st_ino);
}

long HostConsole::write(int stream, const void *buf, size_t n)
{
    const bool errors = stream == 2;
    Turn &turn = errors && !errorsAreOutput_ ? errors_ : output_;
    if (!turn.take(deadline))
        return -EINTR;
    const long r = writeInTurn(errors ? STDERR_FILENO : STDOUT_FILENO, buf, n);
    turn.release();
    return r;
}

// A reader that stops reading must not keep the guest past its deadline
// either: with one, every piece waits for room and is small enough for a
// pipe with room to take it without blocking.
long HostConsole::writeInTurn(int fd, const void *buf, size_t n)
{
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
