#include "open_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zylos {
namespace {

template <typename Op>
long retryInterrupted(Op op)
{
    for (;;) {
        const ssize_t r = op();
        if (r >= 0)
            return r;
        if (errno != EINTR)
            return -errno;
    }
}

} // namespace

long OpenFile::read(std::span<uint8_t>) { return -EBADF; }
long OpenFile::write(std::span<const uint8_t>) { return -EBADF; }
int64_t OpenFile::seek(int64_t, int) { return -ESPIPE; }

// Asking for nothing is answered at once, not after waiting for input.
long ConsoleInput::read(std::span<uint8_t> buf) { return buf.empty() ? 0 : console_.read(buf.data(), buf.size()); }

long ConsoleOutput::write(std::span<const uint8_t> buf)
{
    const size_t n = chunk_ ? std::min(chunk_, buf.size()) : buf.size();
    return console_.write(stream_, buf.data(), n);
}

long HostFile::read(std::span<uint8_t> buf)
{
    return retryInterrupted([&] { return ::read(fd_.get(), buf.data(), buf.size()); });
}

long HostFile::write(std::span<const uint8_t> buf)
{
    return retryInterrupted([&] { return ::write(fd_.get(), buf.data(), buf.size()); });
}

int64_t HostFile::seek(int64_t offset, int whence)
{
    const off_t r = ::lseek(fd_.get(), offset, whence);
    return r < 0 ? -errno : r;
}

PipeEnd::PipeEnd(std::shared_ptr<PipeBuffer> pipe, bool writeEnd) : pipe_(std::move(pipe)), writeEnd_(writeEnd)
{
    ++(writeEnd_ ? pipe_->writers : pipe_->readers);
}

PipeEnd::~PipeEnd() { --(writeEnd_ ? pipe_->writers : pipe_->readers); }

long PipeEnd::read(std::span<uint8_t> buf)
{
    if (writeEnd_)
        return -EBADF;
    if (pipe_->data.empty() && !buf.empty())
        return pipe_->writers ? -EAGAIN : 0;
    const size_t n = std::min(buf.size(), pipe_->data.size());
    std::memcpy(buf.data(), pipe_->data.data(), n);
    pipe_->data.erase(0, n);
    return static_cast<long>(n);
}

long PipeEnd::write(std::span<const uint8_t> buf)
{
    if (!writeEnd_)
        return -EBADF;
    if (pipe_->readers == 0)
        return -EPIPE;
    const size_t n = std::min(buf.size(), PipeBuffer::kCapacity - pipe_->data.size());
    if (n == 0 && !buf.empty())
        return -EAGAIN;
    pipe_->data.append(reinterpret_cast<const char *>(buf.data()), n);
    return static_cast<long>(n);
}

} // namespace zylos
