// How the processes of a run wait for each other. Every wait of a kernel
// call (a pipe, a child, a sleep) is on the one condition here, under the
// one mutex: waiters recheck what they wait for after any change, which is
// plenty for a handful of processes and cannot miss a wake-up.
#pragma once

#include "runner/kernel/deadline.h"
#include "runner/kernel/unique_fd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zylos {

class WaitRoom {
public:
    using Clock = Deadline::Clock;

    std::mutex mutex;

    // Wakes every waiter: something one may be waiting for has changed.
    void changed() { cv_.notify_all(); }
    // Waits for a change: 0, or -4 (EINTR) once the deadline has passed or
    // the run is ending, when the caller should give up its wait.
    int wait(std::unique_lock<std::mutex> &lock);
    // Sleeps until then, or -4 as wait() does.
    int sleepUntil(std::unique_lock<std::mutex> &lock, Clock::time_point until);

    void setDeadline(Deadline d) { deadline_ = d; }
    const Deadline &deadline() const { return deadline_; }

    WaitRoom();
    // Ends every wait, now and later: the run is over.
    void halt();
    bool halting() const { return halting_.load(std::memory_order_relaxed); }
    // Becomes readable at halt(), for waits on host descriptors to poll.
    int haltFd() const { return haltFd_.get(); }

private:
    std::condition_variable cv_;
    Deadline deadline_;
    std::atomic<bool> halting_ = false;
    UniqueFd haltFd_;
};

} // namespace zylos
