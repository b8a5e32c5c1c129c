// The ELF reader's symbol tables. Damaged headers and program headers are
// the loader's tests (tests/runner/process/elf_test.cpp) and the fuzz target's.
#include "hostlib/elf32.h"
#include "hostlib/host_files.h"
#include "runner/hostile_image.h"

#include <gtest/gtest.h>

#include <functional>

namespace zylos::test {
namespace {

size_t symbolCount(const std::vector<uint8_t> &file) { return elf::File(file).symbols().size(); }

// A symbol table is read only through a string table that exists, only
// inside the file, and only in whole entries.
TEST(ElfReader, SymbolTablesLinkToAStringTableAndHoldWholeEntries)
{
    const std::vector<uint8_t> drape = readBytes(ZYLOS_DRAPE_PATH);
    const auto withSymtab = [&](const std::function<void(Elf32_Shdr &)> &damage) {
        return damageSections(drape, SHT_SYMTAB, damage);
    };
    const uint32_t lastEntry = static_cast<uint32_t>(drape.size() - sizeof(Elf32_Sym));
    EXPECT_THROW(elf::File(drape).range(lastEntry, 2 * sizeof(Elf32_Sym), "symbols"), elf::Error);
    EXPECT_THROW(symbolCount(withSymtab([&](Elf32_Shdr &s) { s.sh_offset = lastEntry; })), elf::Error);
    const uint16_t sections = elf::File(drape).header().e_shnum;
    try {
        symbolCount(withSymtab([&](Elf32_Shdr &s) { s.sh_link = sections; }));
        ADD_FAILURE() << "a link to no section was followed";
    } catch (const elf::Error &e) {
        EXPECT_STREQ(e.what(), "symbol table links to no string table");
    }
    // The null entry and the first file's name, then that entry cut short.
    const auto sized = [&](uint32_t size) { return withSymtab([=](Elf32_Shdr &s) { s.sh_size = size; }); };
    ASSERT_EQ(symbolCount(sized(2 * sizeof(Elf32_Sym))), 1u);
    EXPECT_EQ(symbolCount(sized(2 * sizeof(Elf32_Sym) - 4)), 0u);
}

} // namespace
} // namespace zylos::test
