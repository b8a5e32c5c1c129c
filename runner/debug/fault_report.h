// The report of a guest fault, with the function it happened in and the
// calls that led there.
#pragma once

#include "runner/debug/symbolizer.h"
#include "runner/engines/faults.h"
#include "runner/kernel/guest_memory.h"

#include <string>

namespace zylos {

// Every line ends in a newline: "guest fault: WHAT at eip 0xXXXXXXXX
// (function+0xOFF)" (without the parenthesis where no symbol holds eip),
// then the backtrace read from stack, or why there is none when stack is
// null.
std::string describeFault(const FaultRecord &f, const Symbolizer &symbols, const GuestMemory *stack);

} // namespace zylos
