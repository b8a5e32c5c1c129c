#include "runner/debug/gdb_packets.h"

namespace zylos {
namespace {

constexpr char kEscape = '}';
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint8_t kInterrupt = 0x03;

bool needsEscape(char c)
{
    return c == '$' || c == '#' || c == kEscape || c == '*';
}

char hexDigitOf(unsigned v)
{
    return "0123456789abcdef"[v & 15];
}

} // namespace

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

void PacketDecoder::feed(std::span<const uint8_t> bytes, std::vector<GdbInput> &out)
{
    for (const uint8_t b : bytes) {
        switch (state_) {
        case State::Between:
            if (b == kInterrupt)
                out.push_back({GdbInput::Interrupt, {}});
            else if (b == '-')
                out.push_back({GdbInput::Resend, {}});
            else if (b == '$') {
                state_ = State::Payload;
                payload_.clear();
                length_ = 0;
                sum_ = 0;
                broken_ = false;
            }
            break; // acknowledgements and noise
        case State::Payload:
        case State::Escaped: payloadByte(b); break;
        case State::SumHigh:
        case State::SumLow: sumByte(b, out); break;
        }
    }
}

// A '#' ends the payload wherever it comes: the protocol always escapes it
// inside one, so a '#' just after an escape leaves the packet broken.
void PacketDecoder::payloadByte(uint8_t b)
{
    if (b == '#') {
        broken_ |= state_ == State::Escaped;
        state_ = State::SumHigh;
        return;
    }
    sum_ = static_cast<uint8_t>(sum_ + b);
    if (++length_ > kMaxPacket) {
        broken_ = true;
        return;
    }
    if (state_ == State::Payload && b == kEscape) {
        state_ = State::Escaped;
        return;
    }
    payload_ += static_cast<char>(state_ == State::Escaped ? b ^ kEscapeXor : b);
    state_ = State::Payload;
}

void PacketDecoder::sumByte(uint8_t b, std::vector<GdbInput> &out)
{
    const int digit = hexDigit(static_cast<char>(b));
    if (state_ == State::SumHigh) {
        sumHigh_ = digit;
        state_ = State::SumLow;
        return;
    }
    state_ = State::Between;
    if (broken_ || sumHigh_ < 0 || digit < 0 || sum_ != (sumHigh_ << 4 | digit))
        out.push_back({GdbInput::Rejected, {}});
    else
        out.push_back({GdbInput::Packet, std::move(payload_)});
    payload_.clear();
}

std::string framePacket(std::string_view payload)
{
    uint8_t sum = 0;
    std::string packet = "$";
    for (char c : payload) {
        // Binary replies (qXfer) escape the protocol's own characters.
        if (needsEscape(c)) {
            packet += kEscape;
            c = static_cast<char>(c ^ kEscapeXor);
            sum = static_cast<uint8_t>(sum + kEscape);
        }
        packet += c;
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    packet += '#';
    packet += hexDigitOf(sum >> 4u);
    packet += hexDigitOf(sum);
    return packet;
}

} // namespace zylos
