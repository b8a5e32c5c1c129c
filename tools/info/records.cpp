#include "records.h"

#include <cstring>
#include <stdexcept>

namespace zylos::info {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void fail(const std::string &why) { throw std::runtime_error(why); }

std::uint32_t le32(Bytes b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

std::uint16_t le16(Bytes b, std::size_t at) { return std::uint16_t(b[at] | b[at + 1] << 8); }

// [offset, offset + size) within the file, with no wrap-around.
Bytes slice(Bytes file, std::uint64_t offset, std::uint64_t size, const char *what)
{
    if (offset > file.size() || size > file.size() - offset)
        fail(std::string(what) + " lies outside the file");
    return file.subspan(offset, size);
}

struct Section {
    std::uint32_t name, type, offset, size;
};

constexpr std::uint32_t kNoBits = 8;

std::vector<Section> section_table(Bytes file)
{
    if (file.size() < 52 || std::memcmp(file.data(), "\x7f" "ELF", 4) != 0)
        fail("not an ELF file");
    if (file[4] != 1 || file[5] != 1)
        fail("not a 32-bit little-endian ELF file");
    const std::uint32_t shoff = le32(file, 32);
    const std::uint16_t shentsize = le16(file, 46);
    const std::uint16_t shnum = le16(file, 48);
    if (shnum == 0)
        fail("no section table");
    if (shentsize < 40)
        fail("malformed section table");
    Bytes table = slice(file, shoff, std::uint64_t(shentsize) * shnum, "the section table");
    std::vector<Section> sections;
    for (std::size_t i = 0; i < shnum; ++i) {
        const std::size_t at = i * shentsize;
        sections.push_back({le32(table, at), le32(table, at + 4), le32(table, at + 16), le32(table, at + 20)});
    }
    return sections;
}

std::string section_name(Bytes names, std::uint32_t at)
{
    if (at >= names.size())
        fail("a section name lies outside the name table");
    const auto *start = names.data() + at;
    const void *end = std::memchr(start, 0, names.size() - at);
    if (end == nullptr)
        fail("a section name has no terminator");
    return std::string(reinterpret_cast<const char *>(start), static_cast<const std::uint8_t *>(end) - start);
}

} // namespace

Bytes find_section(Bytes file, const std::string &name)
{
    const auto sections = section_table(file);
    const std::uint16_t shstrndx = le16(file, 50);
    if (shstrndx >= sections.size())
        fail("no section name table");
    const Section &strtab = sections[shstrndx];
    Bytes names = slice(file, strtab.offset, strtab.size, "the section name table");
    for (const Section &s : sections) {
        if (section_name(names, s.name) != name)
            continue;
        if (s.type == kNoBits)
            fail(name + " has no contents");
        return slice(file, s.offset, s.size, name.c_str());
    }
    fail("no " + name + " section");
}

Record parse_record(const std::string &section, Bytes bytes, const char (&magic)[5], std::size_t field_count)
{
    if (bytes.size() < 8)
        fail(section + " is cut short (" + std::to_string(bytes.size()) + " bytes)");
    if (std::memcmp(bytes.data(), magic, 4) != 0)
        fail(section + " has a bad magic (expected \"" + magic + "\")");
    if (const std::uint32_t version = le32(bytes, 4); version != 1)
        fail(section + " has unknown format version " + std::to_string(version));
    Record record{section, {}};
    std::size_t at = 8;
    for (;;) {
        const void *nul = std::memchr(bytes.data() + at, 0, bytes.size() - at);
        if (nul == nullptr)
            fail(section + " is cut short: a text has no terminator");
        const std::size_t end = static_cast<std::size_t>(static_cast<const std::uint8_t *>(nul) - bytes.data());
        if (end == at)
            break;
        record.fields.emplace_back(reinterpret_cast<const char *>(bytes.data() + at), end - at);
        at = end + 1;
        if (at == bytes.size())
            fail(section + " is cut short: no end marker");
    }
    if (record.fields.size() != field_count)
        fail(section + " holds " + std::to_string(record.fields.size()) + " texts, expected " +
             std::to_string(field_count));
    return record;
}

Records read_records(Bytes file)
{
    return {parse_record(".zylos.cmdmeta", find_section(file, ".zylos.cmdmeta"), "ZCMD", 2),
            parse_record(".zylos.pkgmeta", find_section(file, ".zylos.pkgmeta"), "ZPKG", 2)};
}

} // namespace zylos::info
