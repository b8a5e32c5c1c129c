// The gdb stub's packet decoder and command table against a fake guest: the
// input arrives in pieces as from a socket, and must decode the same as when
// it arrives whole; every packet is answered, and every reply fits the packet
// size the stub announces and decodes back to itself once framed. The fake
// guest checks that no command reaches past its registers or memory.
#include "fuzz_check.h"
#include "runner/debug/gdb_commands.h"
#include "runner/debug/gdb_packets.h"

#include <array>
#include <cstring>
#include <optional>

namespace zylos::fuzz {
namespace {

constexpr uint32_t kMemoryBase = 0x1000;
constexpr size_t kMemorySize = 0x1000;

class FakeTarget final : public DebugTarget {
public:
    // Bits of script pick how each resume ends.
    explicit FakeTarget(uint8_t script) : script_(script) {}

    bool readRegister(unsigned n, uint8_t *out) override
    {
        require(n < kDebugRegisters, "a register number past the last reached the target");
        std::memcpy(out, registers_[n].data(), debugRegisterSize(n));
        return n != 10; // one that cannot be read
    }
    bool writeRegister(unsigned n, const uint8_t *in) override
    {
        require(n < kDebugRegisters, "a register number past the last reached the target");
        std::memcpy(registers_[n].data(), in, debugRegisterSize(n));
        return n < 10 || n > 15; // the segments cannot be written
    }
    bool readMemory(uint32_t addr, uint8_t *out, size_t n) override
    {
        if (!inside(addr, n))
            return false;
        std::memcpy(out, memory_.data() + (addr - kMemoryBase), n);
        return true;
    }
    bool writeMemory(uint32_t addr, const uint8_t *in, size_t n) override
    {
        if (!inside(addr, n))
            return false;
        std::memcpy(memory_.data() + (addr - kMemoryBase), in, n);
        return true;
    }
    DebugEvent resume(bool, const std::set<uint32_t> &, const std::function<bool()> &interrupted) override
    {
        const bool interrupt = interrupted();
        switch (script_ >> (2 * (resumes_++ % 4)) & 3) {
        case 0: return {DebugEvent::Stopped, interrupt ? 2 : 5};
        case 1: return {DebugEvent::Stopped, 11};
        case 2: return {DebugEvent::Exited, 0, script_};
        default: return {DebugEvent::Ended, 9};
        }
    }

private:
    static bool inside(uint32_t addr, size_t n)
    {
        return addr >= kMemoryBase && n <= kMemorySize && addr - kMemoryBase <= kMemorySize - n;
    }

    uint8_t script_;
    unsigned resumes_ = 0;
    std::array<std::array<uint8_t, 16>, kDebugRegisters> registers_{};
    std::array<uint8_t, kMemorySize> memory_{};
};

void checkReply(const std::string &reply)
{
    require(reply.size() <= kMaxPacket, "a reply longer than the packet size announced");
    const std::string framed = framePacket(reply);
    PacketDecoder back;
    std::vector<GdbInput> got;
    back.feed(std::span(reinterpret_cast<const uint8_t *>(framed.data()), framed.size()), got);
    require(got.size() == 1 && got[0] == GdbInput{GdbInput::Packet, reply}, "a framed reply does not decode back");
}

} // namespace
} // namespace zylos::fuzz

// The first byte sets the size of the pieces, the second how resumes end;
// the rest is what the debugger sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zylos;
    if (size < 2)
        return 0;
    const size_t piece = data[0] % 64 + 1;
    const std::span<const uint8_t> stream(data + 2, size - 2);
    std::vector<GdbInput> whole, inputs;
    PacketDecoder().feed(stream, whole);
    PacketDecoder decoder;
    for (size_t at = 0; at < stream.size(); at += piece)
        decoder.feed(stream.subspan(at, std::min(piece, stream.size() - at)), inputs);
    fuzz::require(inputs == whole, "input decodes differently in pieces");

    fuzz::FakeTarget target(data[1]);
    std::optional<GdbCommands> commands;
    for (const GdbInput &in : inputs) {
        fuzz::require(in.payload.size() <= kMaxPacket, "a decoded packet longer than the packet size");
        if (!commands || commands->outcome())
            commands.emplace(target, [] { return false; });
        if (in.kind == GdbInput::Packet || in.kind == GdbInput::Interrupt)
            fuzz::checkReply(commands->handle(in.kind == GdbInput::Packet ? in.payload : "\x03"));
    }
    return 0;
}
