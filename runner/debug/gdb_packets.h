// The framing of gdb's remote protocol, without a socket: bytes from the
// debugger are fed in as they arrive, in pieces of any size, and come out as
// packets, interrupts and requests to send the last reply again; replies are
// framed for sending. Everything fed is untrusted: a malformed or oversized
// packet is rejected, never more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zylos {

// Longer packets are rejected; gdb learns the size from qSupported.
inline constexpr size_t kMaxPacket = 0x4000;

struct GdbInput {
    enum Kind {
        Packet,    // a packet whose checksum holds: acknowledge it ('+'), then answer payload
        Rejected,  // a packet with a bad checksum, or too long: ask for it again ('-')
        Interrupt, // Ctrl-C between packets
        Resend,    // the debugger did not get the last reply ('-')
    } kind;
    std::string payload; // of a Packet, with escapes undone
    friend bool operator==(const GdbInput &, const GdbInput &) = default;
};

class PacketDecoder {
public:
    // Decodes bytes, appending to out what they complete; a packet cut
    // between two calls continues in the next.
    void feed(std::span<const uint8_t> bytes, std::vector<GdbInput> &out);

private:
    enum class State { Between, Payload, Escaped, SumHigh, SumLow };
    void payloadByte(uint8_t b);
    void sumByte(uint8_t b, std::vector<GdbInput> &out);

    State state_ = State::Between;
    std::string payload_;
    size_t length_ = 0;   // of the payload as sent, escapes included
    uint8_t sum_ = 0;     // of the payload as sent
    int sumHigh_ = 0;     // the first digit of the checksum; -1 for one that is not hexadecimal
    bool broken_ = false; // too long, or an escape left open
};

// "$payload#xx", the characters the protocol uses for itself escaped.
std::string framePacket(std::string_view payload);

// The value of a hexadecimal digit, or -1.
int hexDigit(char c);

} // namespace zylos
