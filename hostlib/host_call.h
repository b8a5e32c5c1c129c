// The result convention of host calls as the host tools use it: a count, or
// a negative errno.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace zylos {

// Makes call again while a signal interrupts it (the runner's timers and the
// KVM engine's kicks land on any thread): its result, or -errno.
template <typename Call>
long retryInterrupted(Call call)
{
    for (;;) {
        const ssize_t r = call();
        if (r >= 0)
            return static_cast<long>(r);
        if (errno != EINTR)
            return -errno;
    }
}

// What a call that moved done bytes before it failed with error returns:
// the bytes moved, if any, else the error.
inline long countOr(size_t done, long error)
{
    return done ? static_cast<long>(done) : error;
}

} // namespace zylos
