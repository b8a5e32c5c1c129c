#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zylos {

long HostConsole::read(void *buf, size_t n)
{
    for (;;) {
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
