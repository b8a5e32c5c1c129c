// Trace lines: names, argument shapes, escaping, shortening, bad pointers.
#include "runner/engines/unicorn.h"
#include "runner/kernel/call_table.h"
#include "runner/kernel/layout.h"
#include "runner/kernel/trace.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zylos {
namespace {

struct Row {
    uint32_t nr;
    uint32_t args[3];
    int32_t result;
    bool injected;
    std::string expected;
};

TEST(Trace, FormatsEachKindOfArgument)
{
    // Guest memory of one page at 0x1000, zeroed; everything else is unmapped.
    UnicornEngine mem({});
    uint8_t *page = mem.map(0x1000, 0x1000, kPermRead | kPermWrite);
    const auto put = [&](uint32_t offset, const std::string &bytes) {
        std::memcpy(page + offset, bytes.data(), bytes.size());
        return 0x1000 + offset;
    };
    const uint32_t text = put(0, "hi\n");
    const uint32_t odd = put(16, std::string("\0\1\377\"\\\t\r", 7));
    const uint32_t longText = put(64, std::string(100, 'a'));
    const uint32_t path = put(256, "/images/zylos.rei");
    const std::string shown64(64, 'a');
    const std::vector<Row> rows = {
        {SYS_WRITE, {1, odd, 7}, 7, false, R"(write(1, "\000\001\377\"\\\t\r", 7) = 7)"},
        {SYS_WRITE, {1, longText, 100}, 100, false, "write(1, \"" + shown64 + "\"..., 100) = 100"},
        {SYS_WRITE, {1, 0x10, 5}, -14, false, "write(1, 0x00000010, 5) = -14"},
        {SYS_READ, {0, text, 16}, 2, false, R"(read(0, "hi", 16) = 2)"},
        {SYS_READ, {0, text, 16}, -11, false, "read(0, 0x00001000, 16) = -11"},
        {SYS_SET_BACKGROUND, {path, 0, 0}, 0, false, R"(set_background("/images/zylos.rei") = 0)"},
        {SYS_SET_BACKGROUND, {longText, 0, 0}, -36, false, "set_background(\"" + shown64 + "\"...) = -36"},
        {SYS_SET_BACKGROUND, {0xC0000000, 0, 0}, -14, false, "set_background(0xc0000000) = -14"},
        {SYS_GETCWD, {path, 256, 0}, 17, false, R"(getcwd("/images/zylos.rei", 256) = 17)"},
        {SYS_EXIT, {0xFFFFFFFF, 0, 0}, 9, true, "exit(-1) = 9 (injected)"},
        {SYS_GETKEY, {0, 0, 0}, 65, false, "getkey() = 65"},
        {SYS_LSEEK, {3, 0xFFFFFFFB, 2}, 6, false, "lseek(3, -5, 2) = 6"},
        {SYS_SPAWN, {path, 0x2000, 2}, -38, false, R"(spawn("/images/zylos.rei", 0x00002000, 2) = -38)"},
        {999, {1, 0x20, 3}, -38, false, "syscall_999(0x1, 0x20, 0x3) = -38"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(formatCall({callName(r.nr), r.nr, {r.args[0], r.args[1], r.args[2]}, r.result, r.injected}, mem),
                  r.expected);
}

} // namespace
} // namespace zylos
