// The GDB remote serial protocol over one TCP connection: the socket side of
// the stub. What comes in is read in pieces and decoded (gdb_packets.h);
// the commands are answered by gdb_commands.h.
#pragma once

#include "runner/debug/gdb_commands.h"
#include "runner/kernel/deadline.h"

#include <cstdint>
#include <string>

namespace zylos {

// Listens on 127.0.0.1:port. Returns the socket, or -1 with error set.
int listenForGdb(uint16_t port, std::string &error);

// Accepts one connection on listenFd (and closes listenFd), then serves it
// until the guest's run ends or the debugger kills or detaches. Waiting for
// the connection, for packets and for the debugger to take replies ends at
// deadline, when it is set.
GdbOutcome serveGdb(int listenFd, DebugTarget &target, const Deadline &deadline);

} // namespace zylos
