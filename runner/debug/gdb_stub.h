// The GDB remote serial protocol over one TCP connection, enough for gdb to
// debug an i386 guest: the target description, registers, memory, software
// breakpoints, single steps, continue, interrupt (Ctrl-C), kill and detach.
// Everything the client sends is untrusted: a malformed or oversized packet
// gets an error reply or is dropped, never more.
#pragma once

#include "runner/kernel/deadline.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace zylos {

// Registers in the order of gdb's i386 description: the general registers,
// eip, eflags, the segments, the x87 stack and its control registers, then
// xmm0-7 and mxcsr.
inline constexpr unsigned kDebugRegisters = 41;
// The size of register n in bytes.
size_t debugRegisterSize(unsigned n);

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
    // out/in hold debugRegisterSize(n) bytes, little-endian.
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

// Listens on 127.0.0.1:port. Returns the socket, or -1 with error set.
int listenForGdb(uint16_t port, std::string &error);

// Accepts one connection on listenFd (and closes listenFd), then serves it
// until the guest's run ends or the debugger kills or detaches. Waiting for
// the connection and for packets ends at deadline, when given.
GdbOutcome serveGdb(int listenFd, DebugTarget &target, const Deadline &deadline);

} // namespace zylos
