#include "runner/debug/gdb_registers.h"

#include <iterator>
#include <span>

namespace zylos {
namespace {

struct RegisterInfo {
    const char *name;
    unsigned bits;
    const char *type;
    const char *group; // null: general
};

constexpr RegisterInfo kCore[] = {
    {"eax", 32, "int32", nullptr},    {"ecx", 32, "int32", nullptr},    {"edx", 32, "int32", nullptr},
    {"ebx", 32, "int32", nullptr},    {"esp", 32, "data_ptr", nullptr}, {"ebp", 32, "data_ptr", nullptr},
    {"esi", 32, "int32", nullptr},    {"edi", 32, "int32", nullptr},    {"eip", 32, "code_ptr", nullptr},
    {"eflags", 32, "int32", nullptr}, {"cs", 32, "int32", nullptr},     {"ss", 32, "int32", nullptr},
    {"ds", 32, "int32", nullptr},     {"es", 32, "int32", nullptr},     {"fs", 32, "int32", nullptr},
    {"gs", 32, "int32", nullptr},     {"st0", 80, "i387_ext", nullptr}, {"st1", 80, "i387_ext", nullptr},
    {"st2", 80, "i387_ext", nullptr}, {"st3", 80, "i387_ext", nullptr}, {"st4", 80, "i387_ext", nullptr},
    {"st5", 80, "i387_ext", nullptr}, {"st6", 80, "i387_ext", nullptr}, {"st7", 80, "i387_ext", nullptr},
    {"fctrl", 32, "int", "float"},    {"fstat", 32, "int", "float"},    {"ftag", 32, "int", "float"},
    {"fiseg", 32, "int", "float"},    {"fioff", 32, "int", "float"},    {"foseg", 32, "int", "float"},
    {"fooff", 32, "int", "float"},    {"fop", 32, "int", "float"},
};
constexpr RegisterInfo kSse[] = {
    {"xmm0", 128, "uint128", "vector"}, {"xmm1", 128, "uint128", "vector"}, {"xmm2", 128, "uint128", "vector"},
    {"xmm3", 128, "uint128", "vector"}, {"xmm4", 128, "uint128", "vector"}, {"xmm5", 128, "uint128", "vector"},
    {"xmm6", 128, "uint128", "vector"}, {"xmm7", 128, "uint128", "vector"}, {"mxcsr", 32, "int", "vector"},
};
static_assert(std::size(kCore) + std::size(kSse) == kDebugRegisters);

const RegisterInfo &registerInfo(unsigned n)
{
    return n < std::size(kCore) ? kCore[n] : kSse[n - std::size(kCore)];
}

std::string featureXml(const char *name, std::span<const RegisterInfo> regs, unsigned first)
{
    std::string xml = std::string("<feature name=\"") + name + "\">";
    for (unsigned i = 0; i < regs.size(); ++i) {
        xml += std::string("<reg name=\"") + regs[i].name + "\" bitsize=\"" + std::to_string(regs[i].bits) +
               "\" type=\"" + regs[i].type + "\" regnum=\"" + std::to_string(first + i) + "\"";
        if (regs[i].group)
            xml += std::string(" group=\"") + regs[i].group + "\"";
        xml += "/>";
    }
    return xml + "</feature>";
}

} // namespace

size_t debugRegisterSize(unsigned n)
{
    return n < kDebugRegisters ? registerInfo(n).bits / 8 : 0;
}

const std::string &debugTargetXml()
{
    static const std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE target SYSTEM \"gdb-target.dtd\">"
                                   "<target><architecture>i386</architecture><osabi>none</osabi>" +
                                   featureXml("org.gnu.gdb.i386.core", kCore, 0) +
                                   featureXml("org.gnu.gdb.i386.sse", kSse, std::size(kCore)) + "</target>";
    return xml;
}

} // namespace zylos
