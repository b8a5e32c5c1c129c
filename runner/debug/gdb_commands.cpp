#include "runner/debug/gdb_commands.h"

#include "runner/debug/gdb_packets.h"

#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

namespace zylos {
namespace {

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

} // namespace

std::string GdbCommands::handle(std::string_view packet)
{
    using Handler = std::string (*)(GdbCommands &, std::string_view arg);
    struct Command {
        std::string_view name;
        bool whole; // the packet is the name alone; else the name starts it and the rest is the argument
        Handler handler;
    };
    using Self = GdbCommands;
    using Arg = std::string_view;
    static constexpr Command kCommands[] = {
        {"\x03", false, [](Self &s, Arg) { return s.lastStop_ = "S02"; }}, // interrupted while stopped
        {"?", false, [](Self &s, Arg) { return s.lastStop_; }},
        {"g", false, [](Self &s, Arg) { return s.registers(); }},
        {"G", false, [](Self &s, Arg a) { return s.setRegisters(a); }},
        {"p", false, [](Self &s, Arg a) { return s.readRegister(a); }},
        {"P", false, [](Self &s, Arg a) { return s.writeRegister(a); }},
        {"m", false, [](Self &s, Arg a) { return s.readMemory(a); }},
        {"M", false, [](Self &s, Arg a) { return s.writeMemory(a); }},
        {"Z", false, [](Self &s, Arg a) { return s.breakpoint(a, true); }},
        {"z", false, [](Self &s, Arg a) { return s.breakpoint(a, false); }},
        // No resuming elsewhere than where the guest stopped.
        {"c", false, [](Self &s, Arg a) { return a.empty() ? s.resume(false) : "E01"; }},
        {"s", false, [](Self &s, Arg a) { return a.empty() ? s.resume(true) : "E01"; }},
        // With a signal: the guest has no handlers, so the signal (the fault
        // gdb was shown) ends it, as resuming from a fault does anyway.
        {"C", false, [](Self &s, Arg) { return s.resume(false); }},
        {"S", false, [](Self &s, Arg) { return s.resume(true); }},
        {"H", false, [](Self &, Arg) -> std::string { return "OK"; }},
        {"T", false, [](Self &, Arg a) -> std::string { return a == "1" || a == "01" ? "OK" : "E01"; }},
        {"D", false, [](Self &s, Arg) { return s.end(GdbOutcome::Detached, "OK"); }},
        {"k", false, [](Self &s, Arg) { return s.end(GdbOutcome::Killed, ""); }},
        {"qSupported", false, [](Self &, Arg) { return supported(); }},
        // The runner started the guest: quitting gdb kills it.
        {"qAttached", true, [](Self &, Arg) -> std::string { return "0"; }},
        {"qC", true, [](Self &, Arg) -> std::string { return "QC1"; }},
        {"qfThreadInfo", true, [](Self &, Arg) -> std::string { return "m1"; }},
        {"qsThreadInfo", true, [](Self &, Arg) -> std::string { return "l"; }},
        {"qXfer:features:read:target.xml:", false, [](Self &, Arg a) { return targetXmlPart(a); }},
    };
    for (const Command &c : kCommands)
        if (c.whole ? packet == c.name : packet.starts_with(c.name))
            return c.handler(*this, packet.substr(c.name.size()));
    return ""; // not supported
}

std::string GdbCommands::end(GdbOutcome outcome, std::string reply)
{
    outcome_ = outcome;
    return reply;
}

std::string GdbCommands::supported()
{
    char reply[64];
    std::snprintf(reply, sizeof reply, "PacketSize=%zx;qXfer:features:read+", kMaxPacket);
    return reply;
}

std::string GdbCommands::targetXmlPart(std::string_view arg)
{
    const auto range = parseRange(arg, kMaxPacket / 2);
    if (!range)
        return "E01";
    const std::string &xml = debugTargetXml();
    if (range->first >= xml.size())
        return "l";
    const std::string part = xml.substr(range->first, range->second);
    return (range->first + part.size() < xml.size() ? "m" : "l") + part;
}

std::string GdbCommands::resume(bool step)
{
    const DebugEvent e = target_.resume(step, breakpoints_, interrupted_);
    switch (e.kind) {
    case DebugEvent::Stopped: lastStop_ = "S" + hexByte(static_cast<unsigned>(e.signal)); return lastStop_;
    case DebugEvent::Exited: return end(GdbOutcome::Ended, "W" + hexByte(static_cast<unsigned>(e.status)));
    case DebugEvent::Ended: break;
    }
    return end(GdbOutcome::Ended, "X" + hexByte(static_cast<unsigned>(e.signal)));
}

std::string GdbCommands::registers()
{
    std::string out;
    uint8_t value[16];
    for (unsigned n = 0; n < kDebugRegisters; ++n) {
        const size_t size = debugRegisterSize(n);
        out += target_.readRegister(n, value) ? hexBytes(value, size) : std::string(2 * size, 'x');
    }
    return out;
}

std::string GdbCommands::setRegisters(std::string_view hex)
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

std::string GdbCommands::readRegister(std::string_view arg)
{
    const auto n = parseHex(arg);
    uint8_t value[16];
    if (!n || *n >= kDebugRegisters)
        return "E01";
    return target_.readRegister(*n, value) ? hexBytes(value, debugRegisterSize(*n))
                                           : std::string(2 * debugRegisterSize(*n), 'x');
}

std::string GdbCommands::writeRegister(std::string_view arg)
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

std::string GdbCommands::readMemory(std::string_view arg)
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

std::string GdbCommands::writeMemory(std::string_view arg)
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
std::string GdbCommands::breakpoint(std::string_view arg, bool insert)
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

} // namespace zylos
