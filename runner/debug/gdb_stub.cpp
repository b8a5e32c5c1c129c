#include "runner/debug/gdb_stub.h"

#include "runner/kernel/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zylos {
namespace {

// Longer packets are refused; gdb learns the size from qSupported.
constexpr size_t kMaxPacket = 0x4000;

// Waits until fd has something to read (or an error for the read to
// report); false once the deadline has passed first.
bool waitReadable(int fd, const Deadline &deadline)
{
    for (;;) {
        const int wait = deadline.pollTimeout();
        if (wait == 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, wait);
        if (r > 0 || (r < 0 && errno != EINTR))
            return true;
    }
}

struct RegisterInfo {
    const char *name;
    unsigned bits;
    const char *type;
    const char *group; // null: general
};

constexpr RegisterInfo kCore[] = {
    {"eax", 32, "int32", nullptr},    {"ecx", 32, "int32", nullptr},    {"edx", 32, "int32", nullptr},
    {"ebx", 32, "int32", nullptr},    {"esp", 32, "data_ptr", nullptr}, {"ebp", 32, "data_ptr", nullptr},
    {"esi", 32, "int32", nullptr},    {"edi", 32, "int32", nullptr},    {"eip", 32, "code_ptr", nullptr},
    {"eflags", 32, "int32", nullptr}, {"cs", 32, "int32", nullptr},     {"ss", 32, "int32", nullptr},
    {"ds", 32, "int32", nullptr},     {"es", 32, "int32", nullptr},     {"fs", 32, "int32", nullptr},
    {"gs", 32, "int32", nullptr},     {"st0", 80, "i387_ext", nullptr}, {"st1", 80, "i387_ext", nullptr},
    {"st2", 80, "i387_ext", nullptr}, {"st3", 80, "i387_ext", nullptr}, {"st4", 80, "i387_ext", nullptr},
    {"st5", 80, "i387_ext", nullptr}, {"st6", 80, "i387_ext", nullptr}, {"st7", 80, "i387_ext", nullptr},
    {"fctrl", 32, "int", "float"},    {"fstat", 32, "int", "float"},    {"ftag", 32, "int", "float"},
    {"fiseg", 32, "int", "float"},    {"fioff", 32, "int", "float"},    {"foseg", 32, "int", "float"},
    {"fooff", 32, "int", "float"},    {"fop", 32, "int", "float"},
};
constexpr RegisterInfo kSse[] = {
    {"xmm0", 128, "uint128", "vector"}, {"xmm1", 128, "uint128", "vector"}, {"xmm2", 128, "uint128", "vector"},
    {"xmm3", 128, "uint128", "vector"}, {"xmm4", 128, "uint128", "vector"}, {"xmm5", 128, "uint128", "vector"},
    {"xmm6", 128, "uint128", "vector"}, {"xmm7", 128, "uint128", "vector"}, {"mxcsr", 32, "int", "vector"},
};
static_assert(std::size(kCore) + std::size(kSse) == kDebugRegisters);

const RegisterInfo &registerInfo(unsigned n)
{
    return n < std::size(kCore) ? kCore[n] : kSse[n - std::size(kCore)];
}

std::string featureXml(const char *name, std::span<const RegisterInfo> regs, unsigned first)
{
    std::string xml = std::string("<feature name=\"") + name + "\">";
    for (unsigned i = 0; i < regs.size(); ++i) {
        xml += std::string("<reg name=\"") + regs[i].name + "\" bitsize=\"" + std::to_string(regs[i].bits) +
               "\" type=\"" + regs[i].type + "\" regnum=\"" + std::to_string(first + i) + "\"";
        if (regs[i].group)
            xml += std::string(" group=\"") + regs[i].group + "\"";
        xml += "/>";
    }
    return xml + "</feature>";
}

const std::string &targetXml()
{
    static const std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE target SYSTEM \"gdb-target.dtd\">"
                                   "<target><architecture>i386</architecture><osabi>none</osabi>" +
                                   featureXml("org.gnu.gdb.i386.core", kCore, 0) +
                                   featureXml("org.gnu.gdb.i386.sse", kSse, std::size(kCore)) + "</target>";
    return xml;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A hexadecimal number of at most 8 digits filling all of text.
std::optional<uint32_t> parseHex(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        const int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    return v;
}

std::optional<std::vector<uint8_t>> parseBytes(std::string_view text)
{
    if (text.size() % 2)
        return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string hexBytes(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string hexByte(unsigned v)
{
    const uint8_t b = static_cast<uint8_t>(v);
    return hexBytes(&b, 1);
}

// "ADDR,LEN" with LEN at most max.
std::optional<std::pair<uint32_t, size_t>> parseRange(std::string_view text, size_t max)
{
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    const auto addr = parseHex(text.substr(0, comma));
    const auto len = parseHex(text.substr(comma + 1));
    if (!addr || !len || *len > max)
        return std::nullopt;
    return std::pair{*addr, size_t{*len}};
}

class Session {
public:
    Session(int fd, DebugTarget &target, Deadline deadline) : fd_(fd), target_(target), deadline_(deadline) {}
    GdbOutcome serve();

private:
    std::optional<std::string> receive();
    bool readByte(uint8_t &b);
    void send(std::string_view payload);
    void transmit();
    std::string handle(const std::string &packet);
    std::string resume(bool step);
    std::string registers();
    std::string setRegisters(std::string_view hex);
    std::string readRegister(std::string_view arg);
    std::string writeRegister(std::string_view arg);
    std::string readMemory(std::string_view arg);
    std::string writeMemory(std::string_view arg);
    std::string breakpoint(std::string_view arg, bool insert);
    std::string query(const std::string &packet);
    bool interrupted();

    int fd_;
    DebugTarget &target_;
    const Deadline deadline_;
    bool timedOut_ = false;
    std::set<uint32_t> breakpoints_;
    std::string lastStop_ = "S05";
    std::optional<GdbOutcome> outcome_;
    bool closed_ = false;
    std::string lastSent_;
    std::vector<uint8_t> pending_; // bytes read ahead while looking for an interrupt
};

bool Session::readByte(uint8_t &b)
{
    if (!pending_.empty()) {
        b = pending_.front();
        pending_.erase(pending_.begin());
        return true;
    }
    if (!waitReadable(fd_, deadline_)) {
        timedOut_ = closed_ = true;
        return false;
    }
    for (;;) {
        const ssize_t n = ::recv(fd_, &b, 1, 0);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        closed_ = true;
        return false;
    }
}

// The next packet's payload (acknowledged), or nullopt once the connection
// is gone. An interrupt byte between packets reads as "\x03".
std::optional<std::string> Session::receive()
{
    for (;;) {
        uint8_t b = 0;
        if (!readByte(b))
            return std::nullopt;
        if (b == 0x03)
            return std::string("\x03");
        if (b == '-' && !lastSent_.empty())
            transmit();
        if (b != '$')
            continue; // acknowledgements and noise
        std::string payload;
        bool tooLong = false;
        while (readByte(b) && b != '#') {
            if (payload.size() < kMaxPacket)
                payload += static_cast<char>(b);
            else
                tooLong = true;
        }
        uint8_t sum[2];
        if (closed_ || !readByte(sum[0]) || !readByte(sum[1]))
            return std::nullopt;
        uint8_t computed = 0;
        for (char c : payload)
            computed = static_cast<uint8_t>(computed + static_cast<uint8_t>(c));
        const int hi = hexDigit(static_cast<char>(sum[0])), lo = hexDigit(static_cast<char>(sum[1]));
        if (tooLong || hi < 0 || lo < 0 || computed != (hi << 4 | lo)) {
            ::send(fd_, "-", 1, MSG_NOSIGNAL);
            continue;
        }
        ::send(fd_, "+", 1, MSG_NOSIGNAL);
        return payload;
    }
}

void Session::send(std::string_view payload)
{
    uint8_t sum = 0;
    std::string packet = "$";
    for (char c : payload) {
        // Binary replies (qXfer) escape the protocol's own characters.
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            packet += '}';
            c = static_cast<char>(c ^ 0x20);
            sum = static_cast<uint8_t>(sum + '}');
        }
        packet += c;
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    packet += "#" + hexByte(sum);
    lastSent_ = packet;
    transmit();
}

// gdb acknowledges each packet; receive() sends it again on a '-'.
void Session::transmit()
{
    for (size_t done = 0; done < lastSent_.size();) {
        const ssize_t n = ::send(fd_, lastSent_.data() + done, lastSent_.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closed_ = true;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

bool Session::interrupted()
{
    pollfd p{fd_, POLLIN, 0};
    if (closed_)
        return true;
    while (::poll(&p, 1, 0) == 1) {
        uint8_t b = 0;
        const ssize_t n = ::recv(fd_, &b, 1, 0);
        if (n <= 0) {
            closed_ = true;
            return true;
        }
        if (b == 0x03)
            return true;
        // In all-stop mode gdb sends nothing else while the guest runs; keep it.
        pending_.push_back(b);
        if (pending_.size() > kMaxPacket)
            pending_.clear();
    }
    return false;
}

std::string Session::resume(bool step)
{
    const DebugEvent e = target_.resume(step, breakpoints_, [this] { return interrupted(); });
    switch (e.kind) {
    case DebugEvent::Stopped: lastStop_ = "S" + hexByte(static_cast<unsigned>(e.signal)); return lastStop_;
    case DebugEvent::Exited: outcome_ = GdbOutcome::Ended; return "W" + hexByte(static_cast<unsigned>(e.status));
    case DebugEvent::Ended: break;
    }
    outcome_ = GdbOutcome::Ended;
    return "X" + hexByte(static_cast<unsigned>(e.signal));
}

std::string Session::registers()
{
    std::string out;
    uint8_t value[16];
    for (unsigned n = 0; n < kDebugRegisters; ++n) {
        const size_t size = debugRegisterSize(n);
        out += target_.readRegister(n, value) ? hexBytes(value, size) : std::string(2 * size, 'x');
    }
    return out;
}

std::string Session::setRegisters(std::string_view hex)
{
    for (unsigned n = 0; n < kDebugRegisters && !hex.empty(); ++n) {
        const size_t size = debugRegisterSize(n);
        const auto bytes = parseBytes(hex.substr(0, 2 * size));
        if (!bytes || bytes->size() != size)
            return "E01";
        target_.writeRegister(n, bytes->data());
        hex.remove_prefix(2 * size);
    }
    return "OK";
}

std::string Session::readRegister(std::string_view arg)
{
    const auto n = parseHex(arg);
    uint8_t value[16];
    if (!n || *n >= kDebugRegisters)
        return "E01";
    return target_.readRegister(*n, value) ? hexBytes(value, debugRegisterSize(*n))
                                           : std::string(2 * debugRegisterSize(*n), 'x');
}

std::string Session::writeRegister(std::string_view arg)
{
    const size_t eq = arg.find('=');
    const auto n = eq == std::string_view::npos ? std::nullopt : parseHex(arg.substr(0, eq));
    if (!n || *n >= kDebugRegisters)
        return "E01";
    const auto bytes = parseBytes(arg.substr(eq + 1));
    if (!bytes || bytes->size() != debugRegisterSize(*n) || !target_.writeRegister(*n, bytes->data()))
        return "E01";
    return "OK";
}

std::string Session::readMemory(std::string_view arg)
{
    const auto range = parseRange(arg, kMaxPacket / 2 - 8);
    if (!range)
        return "E01";
    std::vector<uint8_t> bytes(range->second);
    // A read that runs into unmapped memory gives what comes before it.
    size_t got = 0;
    while (got < bytes.size() && uint64_t{range->first} + got <= UINT32_MAX &&
           target_.readMemory(static_cast<uint32_t>(range->first + got), bytes.data() + got, 1))
        ++got;
    return got || bytes.empty() ? hexBytes(bytes.data(), got) : "E14";
}

std::string Session::writeMemory(std::string_view arg)
{
    const size_t colon = arg.find(':');
    if (colon == std::string_view::npos)
        return "E01";
    const auto range = parseRange(arg.substr(0, colon), kMaxPacket);
    const auto bytes = parseBytes(arg.substr(colon + 1));
    if (!range || !bytes || bytes->size() != range->second)
        return "E01";
    return target_.writeMemory(range->first, bytes->data(), bytes->size()) ? "OK" : "E14";
}

// Z0,ADDR,KIND / z0,ADDR,KIND; other kinds are not offered.
std::string Session::breakpoint(std::string_view arg, bool insert)
{
    if (arg.substr(0, 2) != "0,")
        return "";
    const auto range = parseRange(arg.substr(2), 16);
    if (!range)
        return "E01";
    if (insert)
        breakpoints_.insert(range->first);
    else
        breakpoints_.erase(range->first);
    return "OK";
}

std::string Session::query(const std::string &packet)
{
    if (packet.rfind("qSupported", 0) == 0) {
        char reply[64];
        std::snprintf(reply, sizeof reply, "PacketSize=%zx;qXfer:features:read+", kMaxPacket);
        return reply;
    }
    if (packet == "qAttached")
        return "0"; // the runner started the guest: quitting gdb kills it
    if (packet == "qC")
        return "QC1";
    if (packet == "qfThreadInfo")
        return "m1";
    if (packet == "qsThreadInfo")
        return "l";
    constexpr std::string_view xfer = "qXfer:features:read:target.xml:";
    if (packet.rfind(xfer, 0) == 0) {
        const auto range = parseRange(std::string_view(packet).substr(xfer.size()), kMaxPacket / 2);
        if (!range)
            return "E01";
        const std::string &xml = targetXml();
        if (range->first >= xml.size())
            return "l";
        const std::string part = xml.substr(range->first, range->second);
        return (range->first + part.size() < xml.size() ? "m" : "l") + part;
    }
    return "";
}

std::string Session::handle(const std::string &packet)
{
    const std::string_view arg = std::string_view(packet).substr(packet.empty() ? 0 : 1);
    switch (packet.empty() ? '\0' : packet[0]) {
    case '\x03': return lastStop_ = "S02"; // interrupted while stopped
    case '?': return lastStop_;
    case 'g': return registers();
    case 'G': return setRegisters(arg);
    case 'p': return readRegister(arg);
    case 'P': return writeRegister(arg);
    case 'm': return readMemory(arg);
    case 'M': return writeMemory(arg);
    case 'Z': return breakpoint(arg, true);
    case 'z': return breakpoint(arg, false);
    case 'c': return arg.empty() ? resume(false) : "E01"; // no resuming elsewhere
    case 's': return arg.empty() ? resume(true) : "E01";
    // With a signal: the guest has no handlers, so the signal (the fault
    // gdb was shown) ends it, as resuming from a fault does anyway.
    case 'C': return resume(false);
    case 'S': return resume(true);
    case 'H': return "OK";
    case 'T': return arg == "1" || arg == "01" ? "OK" : "E01";
    case 'q': return query(packet);
    case 'D': outcome_ = GdbOutcome::Detached; return "OK";
    case 'k': outcome_ = GdbOutcome::Killed; return "";
    default: return ""; // not supported
    }
}

GdbOutcome Session::serve()
{
    while (!outcome_) {
        const std::optional<std::string> packet = receive();
        if (!packet)
            return timedOut_ ? GdbOutcome::TimedOut : GdbOutcome::Killed;
        const std::string reply = handle(*packet);
        if (packet->empty() || packet->front() != 'k')
            send(reply);
        if (closed_)
            return outcome_.value_or(GdbOutcome::Killed);
    }
    return *outcome_;
}

} // namespace

size_t debugRegisterSize(unsigned n)
{
    return n < kDebugRegisters ? registerInfo(n).bits / 8 : 0;
}

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
    if (!waitReadable(listener.get(), deadline))
        return GdbOutcome::TimedOut;
    UniqueFd conn;
    do
        conn = UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    while (!conn && errno == EINTR);
    listener = UniqueFd();
    if (!conn)
        return GdbOutcome::Killed;
    const int on = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return Session(conn.get(), target, deadline).serve();
}

} // namespace zylos
