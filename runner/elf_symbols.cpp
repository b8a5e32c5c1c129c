#include "elf_symbols.h"

#include "elf_image.h"

#include <elf.h>

#include <cstring>

namespace zylos {
namespace {

template <typename T>
T readAt(std::span<const uint8_t> file, uint64_t offset)
{
    T v;
    if (offset + sizeof v > file.size())
        throw BadImage("symbol table outside the file");
    std::memcpy(&v, file.data() + offset, sizeof v);
    return v;
}

Elf32_Shdr section(std::span<const uint8_t> file, const Elf32_Ehdr &h, uint32_t index)
{
    if (index >= h.e_shnum)
        throw BadImage("section index out of range");
    return readAt<Elf32_Shdr>(file, uint64_t{h.e_shoff} + uint64_t{index} * sizeof(Elf32_Shdr));
}

} // namespace

std::vector<ElfSymbol> readSymbolList(std::span<const uint8_t> file)
{
    const auto h = readAt<Elf32_Ehdr>(file, 0);
    std::vector<ElfSymbol> symbols;
    if (h.e_shnum == 0)
        return symbols;
    if (h.e_shentsize != sizeof(Elf32_Shdr))
        throw BadImage("unexpected section header size");
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        const Elf32_Shdr symtab = section(file, h, i);
        if (symtab.sh_type != SHT_SYMTAB)
            continue;
        const Elf32_Shdr strtab = section(file, h, symtab.sh_link);
        if (uint64_t{strtab.sh_offset} + strtab.sh_size > file.size())
            throw BadImage("string table outside the file");
        const char *strings = reinterpret_cast<const char *>(file.data() + strtab.sh_offset);
        for (uint64_t at = 0; at + sizeof(Elf32_Sym) <= symtab.sh_size; at += sizeof(Elf32_Sym)) {
            const auto sym = readAt<Elf32_Sym>(file, uint64_t{symtab.sh_offset} + at);
            if (sym.st_shndx == SHN_UNDEF)
                continue;
            if (sym.st_name >= strtab.sh_size)
                throw BadImage("symbol name outside its string table");
            const size_t room = strtab.sh_size - sym.st_name;
            const char *name = strings + sym.st_name;
            const size_t len = strnlen(name, room);
            if (len == room)
                throw BadImage("unterminated symbol name");
            if (len > 0)
                symbols.push_back({std::string(name, len), sym.st_value, sym.st_size,
                                   ELF32_ST_BIND(sym.st_info) != STB_LOCAL, static_cast<unsigned>(ELF32_ST_TYPE(sym.st_info))});
        }
    }
    return symbols;
}

std::span<const uint8_t> readSection(std::span<const uint8_t> file, std::string_view name)
{
    const auto h = readAt<Elf32_Ehdr>(file, 0);
    if (h.e_shnum == 0 || h.e_shstrndx == SHN_UNDEF)
        return {};
    if (h.e_shentsize != sizeof(Elf32_Shdr))
        throw BadImage("unexpected section header size");
    const Elf32_Shdr names = section(file, h, h.e_shstrndx);
    if (uint64_t{names.sh_offset} + names.sh_size > file.size())
        throw BadImage("section names outside the file");
    const std::string_view all(reinterpret_cast<const char *>(file.data() + names.sh_offset), names.sh_size);
    for (uint32_t i = 0; i < h.e_shnum; ++i) {
        const Elf32_Shdr s = section(file, h, i);
        if (s.sh_name >= all.size() || all.substr(s.sh_name, name.size() + 1) != std::string(name) + '\0')
            continue;
        if (s.sh_type == SHT_NOBITS || uint64_t{s.sh_offset} + s.sh_size > file.size())
            throw BadImage("section " + std::string(name) + " outside the file");
        return file.subspan(s.sh_offset, s.sh_size);
    }
    return {};
}

std::unordered_map<std::string, uint32_t> readSymbols(std::span<const uint8_t> file)
{
    std::unordered_map<std::string, uint32_t> byName;
    // Locals first, so that globals of the same name replace them.
    const std::vector<ElfSymbol> symbols = readSymbolList(file);
    for (bool globals : {false, true})
        for (const ElfSymbol &s : symbols)
            if (s.global == globals)
                byName[s.name] = s.value;
    return byName;
}

} // namespace zylos
