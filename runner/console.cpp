#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zylos {

long HostConsole::read(void *buf, size_t n)
{
    for (;;) {
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
            pollfd in{STDIN_FILENO, POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&in, 1, static_cast<int>(left.count())) : 0;
            if (ready == 0)
                return -EINTR;
            if (ready < 0 && errno == EINTR)
                continue;
        }
        const ssize_t r = ::read(STDIN_FILENO, buf, n);
        if (r >= 0)
            return r;
        if (errno != EINTR)
            return -errno;
    }
}

long HostConsole::write(int stream, const void *buf, size_t n)
{
    const int fd = stream == 2 ? STDERR_FILENO : STDOUT_FILENO;
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, static_cast<const char *>(buf) + done, n - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return done ? static_cast<long>(done) : -errno;
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
