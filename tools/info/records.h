// Reading the command and package records of a zylos executable from its
// section table, without running it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zylos::info {

struct Record {
    std::string section;             // ".zylos.cmdmeta" or ".zylos.pkgmeta"
    std::vector<std::string> fields; // the texts in order, without the end marker
};

struct Records {
    Record command; // description, example
    Record package; // name, second field
};

// Throws std::runtime_error with a one-line reason for anything malformed.
Records readRecords(std::span<const std::uint8_t> file);

// The section's bytes, or an error if the ELF32 file or its section table is
// malformed or has no section of that name.
std::span<const std::uint8_t> findSection(std::span<const std::uint8_t> file, const std::string &name);

Record parseRecord(const std::string &section, std::span<const std::uint8_t> bytes, const char (&magic)[5],
                   std::size_t fieldCount);

} // namespace zylos::info
