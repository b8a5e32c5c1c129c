// The symbol table of an ELF32 file (.symtab with its string table), for
// calling into a loaded image by name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>

namespace zylos {

// Defined symbols by name; a global symbol wins over a local of the same name.
// Throws BadImage when the section headers or the table are malformed; a file
// without a symbol table gives an empty map.
std::unordered_map<std::string, uint32_t> readSymbols(std::span<const uint8_t> file);

} // namespace zylos
