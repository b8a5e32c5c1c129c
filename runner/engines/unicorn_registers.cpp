// The CPU's registers as the runner, the debugger and calls into an image
// read and write them.
#include "runner/engines/unicorn_internal.h"

#include <cstring>

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

bool UnicornEngine::readRegisterBytes(int id, uint8_t *out, size_t size) const
{
    uint8_t raw[16] = {};
    if (size > sizeof raw)
        return false;
    uc_reg_read(uc_, id, raw);
    std::memcpy(out, raw, size);
    return true;
}

bool UnicornEngine::writeRegisterBytes(int id, const uint8_t *in, size_t size)
{
    if (size > 16 || isSegment(id) || (id == UC_X86_REG_EFLAGS && size != 4))
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
        std::memcpy(raw, in, size);
    }
    return uc_reg_write(uc_, id, raw) == UC_ERR_OK;
}

} // namespace zylos
