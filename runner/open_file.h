// What a guest descriptor refers to: the console, a host file under the root,
// or one end of a pipe. Descriptors made by dup share one OpenFile.
#pragma once

#include "console.h"
#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zylos {

class OpenFile {
public:
    virtual ~OpenFile() = default;
    // Each returns a count (a position for seek) or a negative errno.
    virtual long read(std::span<uint8_t> buf);
    virtual long write(std::span<const uint8_t> buf);
    virtual int64_t seek(int64_t offset, int whence);
};

class ConsoleInput final : public OpenFile {
public:
    explicit ConsoleInput(Console &console) : console_(console) {}
    long read(std::span<uint8_t> buf) override;

private:
    Console &console_;
};

// Console output; at most *chunk bytes are accepted per write when *chunk is
// not 0, to let tests see how programs handle short writes.
class ConsoleOutput final : public OpenFile {
public:
    ConsoleOutput(Console &console, int stream, const size_t &chunk)
        : console_(console), stream_(stream), chunk_(chunk) {}
    long write(std::span<const uint8_t> buf) override;

private:
    Console &console_;
    int stream_;
    const size_t &chunk_;
};

class HostFile final : public OpenFile {
public:
    explicit HostFile(UniqueFd fd) : fd_(std::move(fd)) {}
    long read(std::span<uint8_t> buf) override;
    long write(std::span<const uint8_t> buf) override;
    int64_t seek(int64_t offset, int whence) override;

private:
    UniqueFd fd_;
};

// The guest is a single thread: a read from an empty pipe whose writer is
// still open, or a write to a full one, could never complete, so both give
// -11 (EAGAIN) instead of blocking.
struct PipeBuffer {
    static constexpr size_t kCapacity = 65536;
    std::string data;
    int readers = 0, writers = 0;
};

class PipeEnd final : public OpenFile {
public:
    PipeEnd(std::shared_ptr<PipeBuffer> pipe, bool writeEnd);
    ~PipeEnd() override;
    long read(std::span<uint8_t> buf) override;
    long write(std::span<const uint8_t> buf) override;

private:
    std::shared_ptr<PipeBuffer> pipe_;
    bool writeEnd_;
};

} // namespace zylos
