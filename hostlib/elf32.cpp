#include "hostlib/elf32.h"

#include <bit>
#include <cstring>

namespace zylos::elf {
namespace {

static_assert(std::endian::native == std::endian::little, "ELF fields are read in host order");

template <typename T>
T copyAt(std::span<const uint8_t> bytes, size_t at)
{
    T v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

// The NUL-terminated string at `at` of a string table.
std::string_view stringAt(std::span<const uint8_t> table, uint32_t at, std::string_view what)
{
    if (at >= table.size())
        throw Error(std::string(what) + " outside its string table");
    const char *start = reinterpret_cast<const char *>(table.data()) + at;
    const size_t room = table.size() - at;
    const size_t length = strnlen(start, room);
    if (length == room)
        throw Error("unterminated " + std::string(what));
    return {start, length};
}

} // namespace

File::File(std::span<const uint8_t> bytes) : bytes_(bytes)
{
    if (bytes.size() < sizeof header_)
        throw Error("file too short for an ELF header");
    header_ = copyAt<Elf32_Ehdr>(bytes, 0);
    if (std::memcmp(header_.e_ident, ELFMAG, SELFMAG) != 0)
        throw Error("not an ELF file");
    if (header_.e_ident[EI_CLASS] != ELFCLASS32)
        throw Error("not a 32-bit ELF file");
    if (header_.e_ident[EI_DATA] != ELFDATA2LSB)
        throw Error("not a little-endian ELF file");
}

std::span<const uint8_t> File::range(uint64_t offset, uint64_t size, std::string_view what) const
{
    if (offset > bytes_.size() || size > bytes_.size() - offset)
        throw Error(std::string(what) + " outside the file");
    return bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
}

template <typename T>
std::vector<T> File::table(uint32_t offset, uint32_t count, uint32_t entrySize, std::string_view what) const
{
    if (count == 0)
        return {};
    if (entrySize != sizeof(T))
        throw Error("unexpected " + std::string(what) + " size " + std::to_string(entrySize));
    const std::span<const uint8_t> bytes = range(offset, uint64_t{count} * sizeof(T), std::string(what) + "s");
    std::vector<T> entries(count);
    std::memcpy(entries.data(), bytes.data(), bytes.size());
    return entries;
}

std::vector<Elf32_Phdr> File::programHeaders() const
{
    return table<Elf32_Phdr>(header_.e_phoff, header_.e_phnum, header_.e_phentsize, "program header");
}

std::vector<Section> File::sections() const
{
    const auto headers = table<Elf32_Shdr>(header_.e_shoff, header_.e_shnum, header_.e_shentsize, "section header");
    std::span<const uint8_t> names;
    if (!headers.empty() && header_.e_shstrndx != SHN_UNDEF) {
        if (header_.e_shstrndx >= headers.size())
            throw Error("section name table index out of range");
        const Elf32_Shdr &h = headers[header_.e_shstrndx];
        names = range(h.sh_offset, h.sh_size, "section names");
    }
    std::vector<Section> out;
    for (const Elf32_Shdr &h : headers)
        out.push_back({names.empty() ? std::string_view() : stringAt(names, h.sh_name, "section name"), h});
    return out;
}

std::optional<Section> File::section(std::string_view name) const
{
    for (const Section &s : sections())
        if (s.name == name)
            return s;
    return std::nullopt;
}

std::span<const uint8_t> File::contents(const Section &s) const
{
    const std::string what = "section " + std::string(s.name);
    if (s.header.sh_type == SHT_NOBITS)
        throw Error(what + " holds no bytes in the file");
    return range(s.header.sh_offset, s.header.sh_size, what);
}

std::vector<Symbol> File::symbols() const
{
    const auto headers = table<Elf32_Shdr>(header_.e_shoff, header_.e_shnum, header_.e_shentsize, "section header");
    std::vector<Symbol> out;
    for (const Elf32_Shdr &symtab : headers) {
        if (symtab.sh_type != SHT_SYMTAB)
            continue;
        if (symtab.sh_link >= headers.size())
            throw Error("symbol table links to no string table");
        const Elf32_Shdr &strtab = headers[symtab.sh_link];
        const auto strings = range(strtab.sh_offset, strtab.sh_size, "string table");
        const auto entries =
            range(symtab.sh_offset, symtab.sh_size / sizeof(Elf32_Sym) * sizeof(Elf32_Sym), "symbol table");
        for (size_t at = 0; at < entries.size(); at += sizeof(Elf32_Sym)) {
            const auto sym = copyAt<Elf32_Sym>(entries, at);
            if (sym.st_shndx == SHN_UNDEF)
                continue;
            const std::string_view name = stringAt(strings, sym.st_name, "symbol name");
            if (!name.empty())
                out.push_back({std::string(name), sym.st_value, sym.st_size, ELF32_ST_BIND(sym.st_info) != STB_LOCAL,
                               static_cast<unsigned>(ELF32_ST_TYPE(sym.st_info))});
        }
    }
    return out;
}

std::unordered_map<std::string, uint32_t> File::symbolValues() const
{
    std::unordered_map<std::string, uint32_t> byName;
    // Locals first, so that globals of the same name replace them.
    const std::vector<Symbol> all = symbols();
    for (bool globals : {false, true})
        for (const Symbol &s : all)
            if (s.global == globals)
                byName[s.name] = s.value;
    return byName;
}

} // namespace zylos::elf
