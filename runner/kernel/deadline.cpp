#include "runner/kernel/deadline.h"

#include <poll.h>

#include <cerrno>

namespace zylos {

bool readyBefore(int fd, short events, const Deadline &deadline, int cancelFd)
{
    for (;;) {
        const int timeout = deadline.pollTimeout();
        if (timeout == 0)
            return false;
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int ready = ::poll(p, cancelFd < 0 ? 1 : 2, timeout);
        if (ready > 0)
            return !p[1].revents;
        if (ready < 0 && errno != EINTR)
            return true;
    }
}

} // namespace zylos
