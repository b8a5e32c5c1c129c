// What a guest descriptor refers to: the console, a host file under the root,
// or one end of a pipe. Descriptors made by dup share one OpenFile.
#pragma once

#include "runner/kernel/console.h"
#include "runner/kernel/unique_fd.h"
#include "runner/kernel/wait_room.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zylos {

class OpenFile {
public:
    virtual ~OpenFile() = default;
    // Each returns a count (a position for seek) or a negative errno. A
    // nonblocking descriptor gets -11 (EAGAIN) where the call would wait.
    virtual long read(std::span<uint8_t> buf, bool nonblock);
    virtual long write(std::span<const uint8_t> buf, bool nonblock);
    virtual int64_t seek(int64_t offset, int whence);
};

class ConsoleInput final : public OpenFile {
public:
    explicit ConsoleInput(Console &console) : console_(console) {}
    long read(std::span<uint8_t> buf, bool nonblock) override;

private:
    Console &console_;
};

// Console output; at most *chunk bytes are accepted per write when *chunk is
// not 0, to let tests see how programs handle short writes.
class ConsoleOutput final : public OpenFile {
public:
    ConsoleOutput(Console &console, int stream, const size_t &chunk) : console_(console), stream_(stream), chunk_(chunk)
    {
    }
    long write(std::span<const uint8_t> buf, bool nonblock) override;

private:
    Console &console_;
    int stream_;
    const size_t &chunk_;
};

class HostFile final : public OpenFile {
public:
    explicit HostFile(UniqueFd fd) : fd_(std::move(fd)) {}
    long read(std::span<uint8_t> buf, bool nonblock) override;
    long write(std::span<const uint8_t> buf, bool nonblock) override;
    int64_t seek(int64_t offset, int whence) override;

private:
    UniqueFd fd_;
};

// Bytes between processes. A read waits while the pipe is empty and a
// writer is open; a write waits while it is full and a reader is open. A
// named pipe opens without waiting, so until its first writer (reader) has
// come, a read (write) waits as if one were open. The scheduler's mutex
// guards everything here.
struct PipeBuffer {
    static constexpr size_t kCapacity = 65536;
    explicit PipeBuffer(WaitRoom &s) : waitRoom(s) {}
    WaitRoom &waitRoom;
    std::string data;
    int readers = 0, writers = 0;
    // Ends opened so far, read ends then write ends.
    uint64_t opened[2] = {};
};

class PipeEnd final : public OpenFile {
public:
    PipeEnd(std::shared_ptr<PipeBuffer> pipe, bool writeEnd);
    ~PipeEnd() override;
    long read(std::span<uint8_t> buf, bool nonblock) override;
    long write(std::span<const uint8_t> buf, bool nonblock) override;

private:
    std::shared_ptr<PipeBuffer> pipe_;
    bool writeEnd_;
};

} // namespace zylos
