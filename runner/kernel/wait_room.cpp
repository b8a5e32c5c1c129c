#include "runner/kernel/wait_room.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zylos {

WaitRoom::WaitRoom() : haltFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!haltFd_)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

int WaitRoom::wait(std::unique_lock<std::mutex> &lock)
{
    if (halting() || deadline_.passed())
        return -EINTR;
    if (deadline_)
        cv_.wait_until(lock, deadline_.at());
    else
        cv_.wait(lock);
    return halting() || deadline_.passed() ? -EINTR : 0;
}

int WaitRoom::sleepUntil(std::unique_lock<std::mutex> &lock, Clock::time_point until)
{
    until = deadline_.cap(until);
    while (!halting() && Clock::now() < until)
        cv_.wait_until(lock, until);
    return halting() ? -EINTR : 0;
}

void WaitRoom::halt()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        halting_ = true;
    }
    cv_.notify_all();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(haltFd_.get(), &one, sizeof one);
}

} // namespace zylos
