#include "records.h"

#include "hostlib/elf32.h"

#include <cstring>
#include <stdexcept>

namespace zylos::info {
namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void fail(const std::string &why)
{
    throw std::runtime_error(why);
}

std::uint32_t le32(Bytes b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

} // namespace

Bytes findSection(Bytes file, const std::string &name)
{
    const elf::File elf(file);
    const std::optional<elf::Section> section = elf.section(name);
    if (!section)
        fail("no " + name + " section");
    return elf.contents(*section);
}

Record parseRecord(const std::string &section, Bytes bytes, const char (&magic)[5], std::size_t fieldCount)
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
    if (record.fields.size() != fieldCount)
        fail(section + " holds " + std::to_string(record.fields.size()) + " texts, expected " +
             std::to_string(fieldCount));
    return record;
}

Records readRecords(Bytes file)
{
    return {parseRecord(".zylos.cmdmeta", findSection(file, ".zylos.cmdmeta"), "ZCMD", 2),
            parseRecord(".zylos.pkgmeta", findSection(file, ".zylos.pkgmeta"), "ZPKG", 2)};
}

} // namespace zylos::info
