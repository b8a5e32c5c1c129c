#include "runner/debug/gdb_stub.h"

#include "hostlib/host_call.h"
#include "runner/debug/gdb_packets.h"
#include "runner/kernel/deadline.h"
#include "runner/kernel/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

namespace zylos {
namespace {

// Bytes taken from the socket at a time.
constexpr size_t kChunk = 4096;
// Inputs kept while the guest runs: in all-stop mode gdb sends nothing but
// an interrupt then, so more are noise.
constexpr size_t kMaxQueued = 64;

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

class Session {
public:
    Session(int fd, DebugTarget &target, const Deadline &deadline)
        : fd_(fd), deadline_(deadline), commands_(target, [this] { return interrupted(); })
    {
    }
    GdbOutcome serve();

private:
    std::optional<GdbInput> next();
    bool readChunk(std::vector<GdbInput> &out);
    void answer(const GdbInput &in);
    void sendBytes(std::string_view bytes);
    void send(std::string_view payload);
    bool interrupted();
    GdbOutcome outcome() const;

    int fd_;
    const Deadline deadline_;
    GdbCommands commands_;
    PacketDecoder decoder_;
    std::deque<GdbInput> inputs_;
    std::string lastSent_;
    bool closed_ = false, timedOut_ = false;
};

// Reads what has come (at least a byte), decoded into out; false once the
// connection is gone.
bool Session::readChunk(std::vector<GdbInput> &out)
{
    uint8_t bytes[kChunk];
    const long n = retryInterrupted([&] { return ::recv(fd_, bytes, sizeof bytes, 0); });
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    decoder_.feed(std::span(bytes, static_cast<size_t>(n)), out);
    return true;
}

// The next input, waiting for it until the deadline; nullopt once the
// connection is gone or the deadline has passed.
std::optional<GdbInput> Session::next()
{
    while (inputs_.empty()) {
        if (!readyBefore(fd_, POLLIN, deadline_)) {
            timedOut_ = closed_ = true;
            return std::nullopt;
        }
        std::vector<GdbInput> fresh;
        if (!readChunk(fresh))
            return std::nullopt;
        inputs_.insert(inputs_.end(), std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
    }
    GdbInput in = std::move(inputs_.front());
    inputs_.pop_front();
    return in;
}

// While the guest runs: whether gdb interrupted it or went away.
bool Session::interrupted()
{
    if (closed_)
        return true;
    bool interrupt = false;
    while (!interrupt && readable(fd_)) {
        std::vector<GdbInput> fresh;
        if (!readChunk(fresh))
            return true;
        for (GdbInput &in : fresh) {
            if (in.kind == GdbInput::Interrupt)
                interrupt = true;
            else if (inputs_.size() < kMaxQueued)
                inputs_.push_back(std::move(in));
        }
    }
    return interrupt;
}

void Session::sendBytes(std::string_view bytes)
{
    while (!bytes.empty() && !closed_) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A debugger that takes no replies is waited for as one that sends nothing.
            if (!readyBefore(fd_, POLLOUT, deadline_))
                timedOut_ = closed_ = true;
        } else if (!(n < 0 && errno == EINTR)) {
            closed_ = true;
        }
    }
}

// gdb acknowledges each packet and asks for it again with a '-'.
void Session::send(std::string_view payload)
{
    lastSent_ = framePacket(payload);
    sendBytes(lastSent_);
}

void Session::answer(const GdbInput &in)
{
    switch (in.kind) {
    case GdbInput::Resend:
        if (!lastSent_.empty())
            sendBytes(lastSent_);
        return;
    case GdbInput::Rejected: sendBytes("-"); return;
    case GdbInput::Interrupt: send(commands_.handle("\x03")); return;
    case GdbInput::Packet: break;
    }
    sendBytes("+");
    const std::string reply = commands_.handle(in.payload);
    if (commands_.outcome() != GdbOutcome::Killed)
        send(reply);
}

GdbOutcome Session::outcome() const
{
    if (commands_.outcome())
        return *commands_.outcome();
    return timedOut_ ? GdbOutcome::TimedOut : GdbOutcome::Killed;
}

GdbOutcome Session::serve()
{
    while (!commands_.outcome() && !closed_) {
        if (const std::optional<GdbInput> in = next())
            answer(*in);
    }
    return outcome();
}

} // namespace

int listenForGdb(uint16_t port, std::string &error)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 1) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return -1;
    }
    return fd.release();
}

GdbOutcome serveGdb(int listenFd, DebugTarget &target, const Deadline &deadline)
{
    UniqueFd listener(listenFd);
    if (!readyBefore(listener.get(), POLLIN, deadline))
        return GdbOutcome::TimedOut;
    const long fd = retryInterrupted([&] { return ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC); });
    listener = UniqueFd();
    if (fd < 0)
        return GdbOutcome::Killed;
    const UniqueFd conn(static_cast<int>(fd));
    const int on = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return Session(conn.get(), target, deadline).serve();
}

} // namespace zylos
