// Hand-assembled i386 guests for tests that need a program to misbehave in
// one precise way. The image has a code segment (ELF headers, constant data,
// then the code) and a bss segment; all data is placed before the first
// instruction, so that its addresses are known while the code is written.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zylos::test {

// The ELF header of a static i386 executable whose program headers follow it.
inline Elf32_Ehdr execHeader(uint32_t entry, uint16_t phnum)
{
    Elf32_Ehdr h{};
    std::memcpy(h.e_ident, ELFMAG, SELFMAG);
    h.e_ident[EI_CLASS] = ELFCLASS32;
    h.e_ident[EI_DATA] = ELFDATA2LSB;
    h.e_ident[EI_VERSION] = EV_CURRENT;
    h.e_type = ET_EXEC;
    h.e_machine = EM_386;
    h.e_version = EV_CURRENT;
    h.e_entry = entry;
    h.e_phoff = sizeof h;
    h.e_ehsize = sizeof h;
    h.e_phentsize = sizeof(Elf32_Phdr);
    h.e_phnum = phnum;
    return h;
}

enum class R : uint8_t { Eax, Ecx, Edx, Ebx, Esp, Ebp, Esi, Edi };

class HostileImage {
public:
    static constexpr uint32_t kBase = 0x08048000;
    static constexpr uint32_t kBss = 0x10000000;
    static constexpr uint32_t kHeaders = sizeof(Elf32_Ehdr) + 2 * sizeof(Elf32_Phdr);

    // Constant bytes (NUL-terminated) in the code segment; their address.
    uint32_t data(std::string_view bytes)
    {
        if (!code_.empty())
            throw std::logic_error("HostileImage: data must come before the code");
        const uint32_t at = kBase + kHeaders + static_cast<uint32_t>(data_.size());
        data_.append(bytes);
        data_.push_back('\0');
        return at;
    }
    HostileImage &bss(uint32_t size)
    {
        bss_ = size;
        return *this;
    }

    HostileImage &raw(const std::vector<uint8_t> &bytes)
    {
        code_.insert(code_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    HostileImage &mov(R r, uint32_t v)
    {
        code_.push_back(static_cast<uint8_t>(0xB8 + static_cast<uint8_t>(r)));
        return word(v);
    }
    HostileImage &sys(uint32_t nr, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
    {
        return mov(R::Eax, nr).mov(R::Ebx, a).mov(R::Ecx, b).mov(R::Edx, c).raw({0xCD, 0x80});
    }
    HostileImage &exit(uint32_t status) { return sys(2, status); }
    // The address of the first instruction.
    uint32_t entry() const { return kBase + kHeaders + static_cast<uint32_t>(data_.size()); }
    // Where the next instruction goes, for loops.
    size_t label() const { return code_.size(); }
    // dec counter; jnz label
    HostileImage &loop(R counter, size_t label)
    {
        code_.push_back(static_cast<uint8_t>(0x48 + static_cast<uint8_t>(counter)));
        return jump({0x0F, 0x85}, label);
    }
    HostileImage &jmp(size_t label) { return jump({0xE9}, label); }

    std::vector<uint8_t> bytes() const
    {
        const uint32_t size = kHeaders + static_cast<uint32_t>(data_.size() + code_.size());
        const Elf32_Ehdr h = execHeader(kBase + kHeaders + static_cast<uint32_t>(data_.size()), 2);
        const Elf32_Phdr ph[2] = {{PT_LOAD, 0, kBase, kBase, size, size, PF_R | PF_X, 0x1000},
                                  {PT_LOAD, 0, kBss, kBss, 0, bss_, PF_R | PF_W, 0x1000}};
        std::vector<uint8_t> out(sizeof h + sizeof ph);
        std::memcpy(out.data(), &h, sizeof h);
        std::memcpy(out.data() + sizeof h, ph, sizeof ph);
        out.insert(out.end(), data_.begin(), data_.end());
        out.insert(out.end(), code_.begin(), code_.end());
        return out;
    }

    void save(const std::string &path) const
    {
        const std::vector<uint8_t> b = bytes();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                    static_cast<std::streamsize>(b.size()));
    }

private:
    HostileImage &word(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            code_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    HostileImage &jump(std::initializer_list<uint8_t> opcode, size_t label)
    {
        code_.insert(code_.end(), opcode);
        return word(static_cast<uint32_t>(label - (code_.size() + 4)));
    }

    std::string data_;
    std::vector<uint8_t> code_;
    uint32_t bss_ = 0x1000;
};

} // namespace zylos::test
