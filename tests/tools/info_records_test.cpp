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

std::string errorOf(const std::string &record)
{
    try {
        parseRecord(".zylos.cmdmeta", bytesOf(record), "ZCMD", 2);
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}

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
        SCOPED_TRACE(c.reason);
        EXPECT_NE(errorOf(c.record).find(c.reason), std::string::npos) << errorOf(c.record);
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

// Every prefix of a real image (the empty one first) and a text that is no
// image are refused with an exception. (Damaged headers are the ELF fuzz
// target's, which runs the same reader.)
TEST(InfoFile, TruncatedAndNonElfInputIsRefused)
{
    const auto image = readBytes(ZYLOS_DRAPE_PATH);
    ASSERT_GT(image.size(), 100u);
    for (size_t n = 0; n < image.size(); n += 1 + n / 16)
        EXPECT_THROW(readRecords(std::vector<uint8_t>(image.begin(), image.begin() + n)), std::runtime_error) << n;
    EXPECT_THROW(readRecords(bytesOf("#!/bin/sh\necho hi\n")), std::runtime_error);
}

} // namespace
} // namespace zylos::info
