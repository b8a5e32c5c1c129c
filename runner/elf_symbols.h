// The symbol table of an ELF32 file (.symtab with its string table), for
// calling into a loaded image by name and for naming guest addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zylos {

struct ElfSymbol {
    std::string name;
    uint32_t value, size;
    bool global;
    unsigned type; // STT_FUNC, STT_OBJECT, ...
};

// Every defined, named symbol in table order. Throws BadImage when the
// section headers or the table are malformed; a file without a symbol table
// gives an empty list.
std::vector<ElfSymbol> readSymbolList(std::span<const uint8_t> file);

// The bytes of the section with this name, or an empty span when there is
// none. Throws BadImage when the section headers are malformed.
std::span<const uint8_t> readSection(std::span<const uint8_t> file, std::string_view name);

// Defined symbols by name; a global symbol wins over a local of the same name.
std::unordered_map<std::string, uint32_t> readSymbols(std::span<const uint8_t> file);

} // namespace zylos
