// gdb's numbering of the i386 registers, as the target description the stub
// sends declares it: the general registers, eip, eflags, the segments, the
// x87 stack and its control registers, then xmm0-7 and mxcsr. A debug target
// reads and writes registers by these numbers.
#pragma once

#include <cstddef>
#include <string>

namespace zylos {

inline constexpr unsigned kDebugRegisters = 41;

// The size of register n in bytes; 0 past the last.
size_t debugRegisterSize(unsigned n);

// The target description (target.xml) that declares the numbering.
const std::string &debugTargetXml();

} // namespace zylos
