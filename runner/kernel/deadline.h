// When a run is to end, on the one clock that every part of the runner
// measures it by: waits in the kernel, the console, and the engines' timers.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>

namespace zylos {

class Deadline {
public:
    // On Linux the monotonic clock: the one host timers are set on.
    using Clock = std::chrono::steady_clock;

    Deadline() = default; // never
    explicit Deadline(Clock::time_point at) : at_(at) {}
    // seconds from now.
    static Deadline after(double seconds)
    {
        return Deadline(Clock::now() +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    }

    explicit operator bool() const { return at_.has_value(); }
    bool passed() const { return at_ && Clock::now() >= *at_; }
    // then, or the deadline when it comes first.
    Clock::time_point cap(Clock::time_point then) const { return at_ ? std::min(*at_, then) : then; }
    // What is left in whole milliseconds, rounded up, as poll() takes it: -1
    // for no deadline, 0 once it has passed.
    int pollTimeout() const
    {
        if (!at_)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    // The deadline (which is set) as a CLOCK_MONOTONIC time.
    timespec monotonic() const
    {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at_->time_since_epoch()).count();
        return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    Clock::time_point at() const { return at_.value_or(Clock::time_point::max()); }

private:
    std::optional<Clock::time_point> at_;
};

// Waits until fd is ready for events (or has an error for the next call on
// it to report): true; false once the deadline has passed first or cancelFd
// (when not -1) has become readable. A signal does not end the wait.
bool readyBefore(int fd, short events, const Deadline &deadline, int cancelFd = -1);

} // namespace zylos
