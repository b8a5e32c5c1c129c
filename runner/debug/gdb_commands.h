// The commands of gdb's remote protocol the stub answers, enough to debug an
// i386 guest: the target description, registers, memory, software
// breakpoints, single steps, continue, interrupt (Ctrl-C), kill and detach.
// Each packet is answered by the row of one table that names it; packets
// are untrusted, and a malformed one gets an error reply, never more.
#pragma once

#include "runner/debug/gdb_registers.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace zylos {

// How a resumed guest came back to the debugger.
struct DebugEvent {
    enum Kind {
        Stopped, // a breakpoint, a finished step, an interrupt or a fault: signal says which
        Exited,  // the guest exited with status
        Ended,   // the run ended otherwise (fault after a stop, a limit); signal for gdb
    } kind;
    int signal = 0;
    int status = 0;
};

// What the stub drives: one guest, stopped whenever the stub runs.
class DebugTarget {
public:
    virtual ~DebugTarget() = default;
    // Registers by gdb's number (gdb_registers.h); out/in hold
    // debugRegisterSize(n) bytes, little-endian.
    virtual bool readRegister(unsigned n, uint8_t *out) = 0;
    virtual bool writeRegister(unsigned n, const uint8_t *in) = 0;
    virtual bool readMemory(uint32_t addr, uint8_t *out, size_t n) = 0;
    virtual bool writeMemory(uint32_t addr, const uint8_t *in, size_t n) = 0;
    // Runs one instruction (step) or until a breakpoint (not the one at the
    // current eip), the end of the run, or interrupted() answers true; the
    // target asks it every so often.
    virtual DebugEvent resume(bool step, const std::set<uint32_t> &breakpoints,
                              const std::function<bool()> &interrupted) = 0;
};

// How the session ended.
enum class GdbOutcome {
    Ended,    // the guest's run is over (exited, faulted or stopped by a limit)
    Killed,   // the debugger killed the guest, or went away
    Detached, // the debugger detached: the guest runs on without it
    TimedOut, // the run's deadline passed while the stub waited for the debugger
};

class GdbCommands {
public:
    // interrupted is asked every so often while a resumed guest runs.
    GdbCommands(DebugTarget &target, std::function<bool()> interrupted)
        : target_(target), interrupted_(std::move(interrupted))
    {
    }

    // The reply to a packet's payload: "" for what is not supported. An
    // interrupt that comes between packets is answered as the payload "\x03".
    std::string handle(std::string_view packet);
    // Set once the session is over; a kill is not answered.
    const std::optional<GdbOutcome> &outcome() const { return outcome_; }

private:
    std::string resume(bool step);
    std::string registers();
    std::string setRegisters(std::string_view hex);
    std::string readRegister(std::string_view arg);
    std::string writeRegister(std::string_view arg);
    std::string readMemory(std::string_view arg);
    std::string writeMemory(std::string_view arg);
    std::string breakpoint(std::string_view arg, bool insert);
    std::string end(GdbOutcome outcome, std::string reply);
    static std::string supported();
    static std::string targetXmlPart(std::string_view arg);

    DebugTarget &target_;
    const std::function<bool()> interrupted_;
    std::set<uint32_t> breakpoints_;
    std::string lastStop_ = "S05";
    std::optional<GdbOutcome> outcome_;
};

} // namespace zylos
