// The CPU's registers as the runner, the debugger and calls into an image
// read and write them.
#include "runner/debug/gdb_stub.h"
#include "runner/engines/unicorn_internal.h"

#include <cstring>
#include <iterator>

namespace zylos {
namespace {

int ucReg(Reg r)
{
    switch (r) {
    case Reg::Eax: return UC_X86_REG_EAX;
    case Reg::Ebx: return UC_X86_REG_EBX;
    case Reg::Ecx: return UC_X86_REG_ECX;
    case Reg::Edx: return UC_X86_REG_EDX;
    case Reg::Esi: return UC_X86_REG_ESI;
    case Reg::Edi: return UC_X86_REG_EDI;
    case Reg::Ebp: return UC_X86_REG_EBP;
    case Reg::Esp: return UC_X86_REG_ESP;
    case Reg::Eip: return UC_X86_REG_EIP;
    case Reg::Eflags: return UC_X86_REG_EFLAGS;
    }
    return UC_X86_REG_INVALID;
}

// The debugger's i386 register order (gdb_stub.h) in the emulator's names.
int debugRegisterId(unsigned n)
{
    static constexpr int kIds[] = {
        UC_X86_REG_EAX,  UC_X86_REG_ECX,  UC_X86_REG_EDX,   UC_X86_REG_EBX,    UC_X86_REG_ESP,   UC_X86_REG_EBP,
        UC_X86_REG_ESI,  UC_X86_REG_EDI,  UC_X86_REG_EIP,   UC_X86_REG_EFLAGS, UC_X86_REG_CS,    UC_X86_REG_SS,
        UC_X86_REG_DS,   UC_X86_REG_ES,   UC_X86_REG_FS,    UC_X86_REG_GS,     UC_X86_REG_ST0,   UC_X86_REG_ST1,
        UC_X86_REG_ST2,  UC_X86_REG_ST3,  UC_X86_REG_ST4,   UC_X86_REG_ST5,    UC_X86_REG_ST6,   UC_X86_REG_ST7,
        UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_FCS,    UC_X86_REG_FIP,   UC_X86_REG_FDS,
        UC_X86_REG_FDP,  UC_X86_REG_FOP,  UC_X86_REG_XMM0,  UC_X86_REG_XMM1,   UC_X86_REG_XMM2,  UC_X86_REG_XMM3,
        UC_X86_REG_XMM4, UC_X86_REG_XMM5, UC_X86_REG_XMM6,  UC_X86_REG_XMM7,   UC_X86_REG_MXCSR,
    };
    static_assert(std::size(kIds) == kDebugRegisters);
    return n < kDebugRegisters ? kIds[n] : UC_X86_REG_INVALID;
}

bool isSegment(int id)
{
    return id == UC_X86_REG_CS || id == UC_X86_REG_SS || id == UC_X86_REG_DS || id == UC_X86_REG_ES ||
           id == UC_X86_REG_FS || id == UC_X86_REG_GS;
}

} // namespace

uint32_t UnicornEngine::reg(Reg r) const
{
    uint32_t v = 0;
    uc_reg_read(uc_, ucReg(r), &v);
    return v;
}

void UnicornEngine::setReg(Reg r, uint32_t v)
{
    uc_reg_write(uc_, ucReg(r), &v);
}

std::array<uint8_t, 10> UnicornEngine::st0() const
{
    uint8_t raw[16] = {};
    uc_reg_read(uc_, UC_X86_REG_ST0, raw);
    std::array<uint8_t, 10> out;
    std::memcpy(out.data(), raw, out.size());
    return out;
}

bool UnicornEngine::readDebugRegister(unsigned n, uint8_t *out) const
{
    const int id = debugRegisterId(n);
    if (id == UC_X86_REG_INVALID)
        return false;
    uint8_t raw[16] = {};
    uc_reg_read(uc_, id, raw);
    std::memcpy(out, raw, debugRegisterSize(n));
    return true;
}

bool UnicornEngine::writeDebugRegister(unsigned n, const uint8_t *in)
{
    const int id = debugRegisterId(n);
    if (id == UC_X86_REG_INVALID || isSegment(id))
        return false;
    uint8_t raw[16] = {};
    uc_reg_read(uc_, id, raw);
    if (id == UC_X86_REG_EFLAGS) {
        // Only what a program can change itself; IOPL, the trap flag and the
        // rest stay as the ring-3 set-up has them.
        constexpr uint32_t kUserFlags = 0x0CD5;
        uint32_t now = 0, wanted = 0;
        std::memcpy(&now, raw, 4);
        std::memcpy(&wanted, in, 4);
        now = (now & ~kUserFlags) | (wanted & kUserFlags);
        std::memcpy(raw, &now, 4);
    } else {
        std::memcpy(raw, in, debugRegisterSize(n));
    }
    return uc_reg_write(uc_, id, raw) == UC_ERR_OK;
}

} // namespace zylos
