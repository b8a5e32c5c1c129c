#include "runner/debug/fault_report.h"

namespace zylos {

std::string describeFault(const FaultRecord &f, const Symbolizer &symbols, const GuestMemory *stack)
{
    const std::string where = symbols.describe(f.eip);
    return "guest fault: " + f.what + " at eip " + hexAddress(f.eip) + (where.empty() ? "" : " (" + where + ")") +
           "\n" +
           (stack ? formatBacktrace(symbols, {f.eip, f.esp, f.ebp}, *stack)
                  : "  (no backtrace: the guest's memory is gone)\n");
}

} // namespace zylos
