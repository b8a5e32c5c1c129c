#include "runner/kernel/open_file.h"

#include "hostlib/host_call.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zylos {

long OpenFile::read(std::span<uint8_t>, bool)
{
    return -EBADF;
}
long OpenFile::write(std::span<const uint8_t>, bool)
{
    return -EBADF;
}
int64_t OpenFile::seek(int64_t, int)
{
    return -ESPIPE;
}

// Asking for nothing is answered at once, not after waiting for input.
long ConsoleInput::read(std::span<uint8_t> buf, bool)
{
    return buf.empty() ? 0 : console_.read(buf.data(), buf.size());
}

long ConsoleOutput::write(std::span<const uint8_t> buf, bool)
{
    const size_t n = chunk_ ? std::min(chunk_, buf.size()) : buf.size();
    return console_.write(stream_, buf.data(), n);
}

long HostFile::read(std::span<uint8_t> buf, bool)
{
    return retryInterrupted([&] { return ::read(fd_.get(), buf.data(), buf.size()); });
}

long HostFile::write(std::span<const uint8_t> buf, bool)
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
    const std::lock_guard<std::mutex> lock(pipe_->waitRoom.mutex);
    ++(writeEnd_ ? pipe_->writers : pipe_->readers);
    ++pipe_->opened[writeEnd_];
    pipe_->waitRoom.changed();
}

PipeEnd::~PipeEnd()
{
    const std::lock_guard<std::mutex> lock(pipe_->waitRoom.mutex);
    --(writeEnd_ ? pipe_->writers : pipe_->readers);
    pipe_->waitRoom.changed();
}

long PipeEnd::read(std::span<uint8_t> buf, bool nonblock)
{
    if (writeEnd_)
        return -EBADF;
    PipeBuffer &p = *pipe_;
    std::unique_lock<std::mutex> lock(p.waitRoom.mutex);
    while (p.data.empty() && (p.writers || !p.opened[1]) && !buf.empty()) {
        if (nonblock)
            return -EAGAIN;
        if (int r = p.waitRoom.wait(lock))
            return r;
    }
    const size_t n = std::min(buf.size(), p.data.size());
    std::memcpy(buf.data(), p.data.data(), n);
    p.data.erase(0, n);
    p.waitRoom.changed();
    return static_cast<long>(n);
}

// A blocking write returns once every byte is in the pipe, unless the
// readers go or the wait is cut short; then it returns what went in. A named
// pipe no reader has opened yet waits for one.
long PipeEnd::write(std::span<const uint8_t> buf, bool nonblock)
{
    if (!writeEnd_)
        return -EBADF;
    PipeBuffer &p = *pipe_;
    std::unique_lock<std::mutex> lock(p.waitRoom.mutex);
    size_t done = 0;
    while (done < buf.size()) {
        if (p.readers == 0 && p.opened[0])
            return countOr(done, -EPIPE);
        const size_t n = p.readers ? std::min(buf.size() - done, PipeBuffer::kCapacity - p.data.size()) : 0;
        if (n == 0) {
            if (nonblock)
                return countOr(done, -EAGAIN);
            if (int r = p.waitRoom.wait(lock))
                return countOr(done, r);
            continue;
        }
        p.data.append(reinterpret_cast<const char *>(buf.data() + done), n);
        done += n;
        p.waitRoom.changed();
    }
    return static_cast<long>(done);
}

} // namespace zylos
