// Hand-made images, the one place tests build or damage an executable by
// hand: i386 guests that misbehave in one precise way, and damaged files for
// the loader and the reader.
// The image has a code segment (ELF header, constant data, the code, then
// the program headers) and a bss segment; all data is placed before the
// first instruction, so that its addresses are known while the code is
// written, and the program headers last, so that a test may add some.
#pragma once

#include "hostlib/host_files.h"
#include "zylos/syscalls.h"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zylos::test {

// The headers of an image as bytes() writes them, for a test to damage.
struct ElfParts {
    Elf32_Ehdr h;
    std::vector<Elf32_Phdr> ph; // written at the end of the file; e_phnum is not adjusted
    size_t cut = SIZE_MAX;      // the file ends here if that is sooner
};

enum class R : uint8_t { Eax, Ecx, Edx, Ebx, Esp, Ebp, Esi, Edi };

class HostileImage {
public:
    static constexpr uint32_t kBase = 0x08048000;
    static constexpr uint32_t kBss = 0x10000000;

    // Constant bytes (NUL-terminated) in the code segment; their address.
    uint32_t data(std::string_view bytes)
    {
        if (!code_.empty())
            throw std::logic_error("HostileImage: data must come before the code");
        const uint32_t at = kBase + sizeof(Elf32_Ehdr) + static_cast<uint32_t>(data_.size());
        data_.append(bytes);
        data_.push_back('\0');
        return at;
    }
    HostileImage &bss(uint32_t size)
    {
        bss_ = size;
        return *this;
    }
    HostileImage &executableBss()
    {
        bssFlags_ |= PF_X;
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
    HostileImage &exit(uint32_t status) { return sys(SYS_EXIT, status); }
    // The address of the first instruction.
    uint32_t entry() const { return kBase + sizeof(Elf32_Ehdr) + static_cast<uint32_t>(data_.size()); }
    // Where the next instruction goes, for loops.
    size_t label() const { return code_.size(); }
    // dec counter; jnz label
    HostileImage &loop(R counter, size_t label)
    {
        code_.push_back(static_cast<uint8_t>(0x48 + static_cast<uint8_t>(counter)));
        return jump({0x0F, 0x85}, label);
    }
    HostileImage &jmp(size_t label) { return jump({0xE9}, label); }

    std::vector<uint8_t> bytes(const std::function<void(ElfParts &)> &damage = nullptr) const
    {
        const uint32_t phoff = static_cast<uint32_t>(sizeof(Elf32_Ehdr) + data_.size() + code_.size());
        const uint32_t size = phoff + 2 * sizeof(Elf32_Phdr);
        ElfParts parts{{},
                       {{PT_LOAD, 0, kBase, kBase, size, size, PF_R | PF_X, 0x1000},
                        {PT_LOAD, 0, kBss, kBss, 0, bss_, bssFlags_, 0x1000}}};
        Elf32_Ehdr &h = parts.h;
        std::memcpy(h.e_ident, ELFMAG, SELFMAG);
        h.e_ident[EI_CLASS] = ELFCLASS32;
        h.e_ident[EI_DATA] = ELFDATA2LSB;
        h.e_ident[EI_VERSION] = EV_CURRENT;
        h.e_type = ET_EXEC;
        h.e_machine = EM_386;
        h.e_version = EV_CURRENT;
        h.e_entry = entry();
        h.e_phoff = phoff;
        h.e_ehsize = sizeof h;
        h.e_phentsize = sizeof(Elf32_Phdr);
        h.e_phnum = 2;
        if (damage)
            damage(parts);
        std::vector<uint8_t> out(reinterpret_cast<const uint8_t *>(&h), reinterpret_cast<const uint8_t *>(&h + 1));
        out.insert(out.end(), data_.begin(), data_.end());
        out.insert(out.end(), code_.begin(), code_.end());
        const auto *ph = reinterpret_cast<const uint8_t *>(parts.ph.data());
        out.insert(out.end(), ph, ph + parts.ph.size() * sizeof(Elf32_Phdr));
        out.resize(std::min(out.size(), parts.cut));
        return out;
    }

    // Writes the image, damaged as for bytes(), to path, which it returns.
    std::string save(const std::filesystem::path &path, const std::function<void(ElfParts &)> &damage = nullptr) const
    {
        const std::vector<uint8_t> b = bytes(damage);
        writeFile(path, {reinterpret_cast<const char *>(b.data()), b.size()});
        return path.string();
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
    uint32_t bssFlags_ = PF_R | PF_W;
};

// A guest that stores "mov ebx, 11; ret" into its executable bss and calls
// it, adds what between adds, calls it again and exits with ebx: 11, unless
// the code was replaced in between (by "mov ebx, 13; ret", kRewrittenCode).
inline constexpr std::string_view kRewrittenCode{"\xBB\x0D\0\0\0\xC3", 6};
inline HostileImage rewrittenCode(const std::function<void(HostileImage &)> &between)
{
    HostileImage image;
    const uint8_t callBss[] = {0xB8, 0, 0, 0, 0x10, 0xFF, 0xD0}; // mov eax, kBss; call eax
    image.executableBss()
        .raw({0xC7, 0x05, 0, 0, 0, 0x10, 0xBB, 11, 0, 0}) // mov dword [kBss], "mov ebx, 11"
        .raw({0xC7, 0x05, 4, 0, 0, 0x10, 0, 0xC3, 0, 0})  // mov dword [kBss + 4], "ret"
        .raw({std::begin(callBss), std::end(callBss)});
    between(image);
    image.raw({std::begin(callBss), std::end(callBss)}).raw({0xB8, SYS_EXIT, 0, 0, 0, 0xCD, 0x80});
    return image;
}

// A built file with the header of every section of the given type changed by
// damage, for the reader's section and symbol checks.
inline std::vector<uint8_t> damageSections(std::vector<uint8_t> file, uint32_t type,
                                           const std::function<void(Elf32_Shdr &)> &damage)
{
    Elf32_Ehdr h;
    std::memcpy(&h, file.data(), sizeof h);
    for (size_t i = 0; i < h.e_shnum; ++i) {
        uint8_t *at = file.data() + h.e_shoff + i * h.e_shentsize;
        Elf32_Shdr s;
        std::memcpy(&s, at, sizeof s);
        if (s.sh_type == type) {
            damage(s);
            std::memcpy(at, &s, sizeof s);
        }
    }
    return file;
}

// file with every occurrence of from replaced by to, which has its length:
// a name or text of a built image changed in place.
inline std::vector<uint8_t> replaced(std::vector<uint8_t> file, std::string_view from, std::string_view to)
{
    if (from.size() != to.size())
        throw std::logic_error("replaced: the texts differ in length");
    for (auto at = file.begin(); (at = std::search(at, file.end(), from.begin(), from.end())) != file.end();)
        at = std::copy(to.begin(), to.end(), at);
    return file;
}

} // namespace zylos::test
