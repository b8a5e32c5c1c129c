// zylos-info's reader on well-formed and hostile records and files.
#include "harness/temp_dir.h"
#include "records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace zylos::info {
namespace {

std::vector<uint8_t> bytesOf(const std::string &s) { return {s.begin(), s.end()}; }

TEST(InfoRecord, MalformedRecordsGiveAReason)
{
    struct Case {
        std::string record, reason;
    } cases[] = {
        {std::string("ZCM", 3), "cut short"},
        {std::string("ZCMX\x01\0\0\0a\0b\0\0", 13), "bad magic"},
        {std::string("ZCMD\x02\0\0\0a\0b\0\0", 13), "unknown format version 2"},
        {std::string("ZCMD\x01\0\0\0abc", 11), "no terminator"},
        {std::string("ZCMD\x01\0\0\0a\0b\0", 12), "no end marker"},
        {std::string("ZCMD\x01\0\0\0a\0\0", 11), "holds 1 texts"},
        {std::string("ZCMD\x01\0\0\0a\0b\0c\0\0", 15), "holds 3 texts"},
    };
    for (const Case &c : cases) {
        try {
            parseRecord(".zylos.cmdmeta", bytesOf(c.record), "ZCMD", 2);
            ADD_FAILURE() << "accepted, expected " << c.reason;
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

// The texts come in their order.
TEST(InfoFile, ReadsDrapesRecords)
{
    const Records r = readRecords(readBytes(ZYLOS_DRAPE_PATH));
    EXPECT_EQ(r.command.fields,
              (std::vector<std::string>{"Set background image for focused tile.", "drape /images/zylos.rei"}));
    EXPECT_EQ(r.package.fields, (std::vector<std::string>{"drape", "2"}));
}

// A real image cut short and a text that is no image are refused with an
// exception. (Damaged and truncated files in general are the ELF fuzz
// target's, which runs the same reader.)
TEST(InfoFile, TruncatedAndNonElfInputIsRefused)
{
    const auto image = readBytes(ZYLOS_DRAPE_PATH);
    EXPECT_THROW(readRecords(std::vector<uint8_t>(image.begin(), image.end() - 1)), std::runtime_error);
    EXPECT_THROW(readRecords(bytesOf("#!/bin/sh\necho hi\n")), std::runtime_error);
}

} // namespace
} // namespace zylos::info
