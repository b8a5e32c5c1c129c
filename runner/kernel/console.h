// The console behind guest descriptors 0, 1 and 2.
#pragma once

#include "runner/kernel/deadline.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

namespace zylos {

class Console {
public:
    virtual ~Console() = default;
    // Input bytes: a count, 0 at the end of input, or a negative errno.
    virtual long read(void *buf, size_t n) = 0;
    // stream 1 is output, 2 is errors: the count accepted or a negative errno.
    virtual long write(int stream, const void *buf, size_t n) = 0;
};

// The host's own standard input, output and error, bytes passed unchanged.
class HostConsole final : public Console {
public:
    // Waiting for input, or for room to write, ends here with -4 (EINTR), so
    // that a time limit also stops a guest that waits for a key or for a
    // reader of its output.
    Deadline deadline;
    // And when this descriptor becomes readable (the run is ending), if set.
    int cancelFd = -1;

    HostConsole();
    long read(void *buf, size_t n) override;
    long write(int stream, const void *buf, size_t n) override;

private:
    // One process's thread at a time polls a descriptor and then reads or
    // writes: the poll that finds it ready is then true for the call that
    // follows, which another thread would otherwise use up first (emptying
    // the input, filling the pipe), leaving this one blocked past every
    // deadline.
    class Turn {
    public:
        // False when the deadline comes first; at the end of the run the
        // holder returns at once, and each waiter after it, as the cancel
        // descriptor stays readable.
        bool take(const Deadline &deadline);
        void release();

    private:
        std::mutex mutex_;
        std::condition_variable free_;
        bool taken_ = false;
    };
    long writeInTurn(int fd, const void *buf, size_t n);

    Turn input_, output_, errors_;
    bool errorsAreOutput_; // standard error is standard output's file: one turn for both
};

// A console held in memory, for tests.
class StringConsole final : public Console {
public:
    std::string input;
    size_t inputPos = 0;
    std::string output, errors;

    long read(void *buf, size_t n) override;
    long write(int stream, const void *buf, size_t n) override;
};

} // namespace zylos
