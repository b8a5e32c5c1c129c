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

    long read(void *buf, size_t n) override;
    long write(int stream, const void *buf, size_t n) override;

private:
    // Standard input has one reader at a time: a poll that finds it
    // readable is then true for the read that follows, which another
    // process's thread would otherwise empty first, leaving this one
    // blocked past every deadline until the end of the input.
    bool takeInput();
    void releaseInput();

    std::mutex inputMutex_;
    std::condition_variable inputFree_;
    bool inputTaken_ = false;
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
