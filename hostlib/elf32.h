// A bounds-checked reader of little-endian ELF32 files, the one place where
// host code looks inside an executable. The structures are those of <elf.h>;
// every offset and size the file states is checked against the file before
// it is followed, and a damaged file throws elf::Error with a one-line reason.
#pragma once

#include <elf.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zylos::elf {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Section {
    std::string_view name; // points into the file
    Elf32_Shdr header;
};

struct Symbol {
    std::string name;
    uint32_t value, size;
    bool global;
    unsigned type; // STT_FUNC, STT_OBJECT, ...
};

// A view of the file's bytes, which must outlive it.
class File {
public:
    // Checks that the bytes start with the header of a 32-bit little-endian ELF file.
    explicit File(std::span<const uint8_t> bytes);

    const Elf32_Ehdr &header() const { return header_; }
    std::span<const uint8_t> bytes() const { return bytes_; }

    // The program headers in file order (none when e_phnum is 0).
    std::vector<Elf32_Phdr> programHeaders() const;
    // Every section with its name; none when the file has no section table.
    std::vector<Section> sections() const;
    std::optional<Section> section(std::string_view name) const;
    // What the section holds in the file; an error for one that holds nothing there (SHT_NOBITS).
    std::span<const uint8_t> contents(const Section &s) const;
    // Every defined, named symbol of the symbol tables, in table order.
    std::vector<Symbol> symbols() const;
    // Defined symbols' values by name; a global wins over a local of the same name.
    std::unordered_map<std::string, uint32_t> symbolValues() const;

    // bytes [offset, offset + size) of the file; an error naming `what` when
    // they are not all inside it.
    std::span<const uint8_t> range(uint64_t offset, uint64_t size, std::string_view what) const;

private:
    template <typename T>
    std::vector<T> table(uint32_t offset, uint32_t count, uint32_t entrySize, std::string_view what) const;

    std::span<const uint8_t> bytes_;
    Elf32_Ehdr header_;
};

} // namespace zylos::elf
