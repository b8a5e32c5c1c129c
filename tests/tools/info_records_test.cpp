// zylos-info's reader on well-formed and hostile records and files.
#include "harness/temp_dir.h"
#include "hostlib/command.h"
#include "hostlib/whole_file.h"
#include "records.h"
#include "runner/hostile_image.h"

#include <sys/stat.h>

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

// The tool on hostile files: texts that would forge a line or drive the
// terminal are shown escaped, --json keeps UTF-8 and escapes what is not,
// and a file the runner would not load is refused without being read.
TEST(InfoTool, HostileTextsAreEscapedAndOddFilesRefused)
{
    const TempDir dir{"zylos-info"};
    const std::string description = "Set background image for focused tile.", example = "drape /images/zylos.rei";
    const std::string forged = "\n  package: FORGED\x1b]0;t\a",
                      accented = "caf\xc3\xa9\xf0\x9f\x99\x82\xff\xc0\xaf\xed\xa0\x80\xc2\x9b\xe2\x82";
    const std::string pad1(description.size() - forged.size(), '.'), pad2(example.size() - accented.size(), '.');
    std::vector<uint8_t> image = test::replaced(readBytes(ZYLOS_DRAPE_PATH), description, forged + pad1);
    image = test::replaced(image, example, accented + pad2);
    const std::string hostile = (dir / "hostile").string(), fifo = (dir / "fifo").string();
    const std::string huge = (dir / "huge").string();
    writeFile(hostile, {reinterpret_cast<const char *>(image.data()), image.size()});
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    writeFile(huge, "");
    std::filesystem::resize_file(huge, kMaxFileBytes + 1);
    // An overlong form and a surrogate are no UTF-8: each of their bytes is escaped.
    const std::string invalid = "\\xff\\xc0\\xaf\\xed\\xa0\\x80",
                      jsonInvalid = "\\\\xff\\\\xc0\\\\xaf\\\\xed\\\\xa0\\\\x80";
    // clang-format off
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } rows[] = {
        {{hostile}, 0, hostile + ":\n  description: \\n  package: FORGED\\e]0;t\\x07" + pad1 +
            "\n  example:     caf\xc3\xa9\xf0\x9f\x99\x82" + invalid + "\\xc2\\x9b\\xe2\\x82" + pad2 + "\n  package:     drape\n  field 2:     2\n", ""},
        {{"--json", hostile}, 0, "[{\"path\": \"" + hostile + "\", \"description\": \"\\n  package: FORGED\\u001b]0;t\\u0007" +
            pad1 + "\", \"example\": \"caf\xc3\xa9\xf0\x9f\x99\x82" + jsonInvalid + "\\u009b\\\\xe2\\\\x82" + pad2 + "\", \"package\": \"drape\", \"field2\": \"2\"}]\n", ""},
        {{fifo}, 1, "", "zylos-info: " + fifo + ": not a regular file\n"},
        {{huge}, 1, "", "zylos-info: " + huge + ": too large for a zylos executable\n"},
    };
    // clang-format on
    for (const auto &row : rows) {
        std::vector<std::string> command{ZYLOS_INFO_PATH};
        command.insert(command.end(), row.args.begin(), row.args.end());
        const RunResult r = runCommand(command);
        EXPECT_EQ(r.status, row.status) << row.args.back();
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
}

} // namespace
} // namespace zylos::info
