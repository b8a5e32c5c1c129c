// Trace lines: names, argument shapes, escaping, shortening, bad pointers.
#include "call_table.h"
#include "trace.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zylos {
namespace {

// Guest memory of 4 KiB at 0x1000; everything else is unmapped.
class PageMemory : public GuestMemory {
public:
    static constexpr uint32_t kBase = 0x1000;
    uint8_t bytes[4096] = {};

    bool accessible(uint32_t addr, size_t n, bool) const override
    {
        return addr >= kBase && uint64_t{addr} + n <= kBase + sizeof bytes;
    }
    bool read(uint32_t addr, void *out, size_t n) const override
    {
        return accessible(addr, n, false) && (std::memcpy(out, bytes + (addr - kBase), n), true);
    }
    bool write(uint32_t addr, const void *in, size_t n) override
    {
        return accessible(addr, n, true) && (std::memcpy(bytes + (addr - kBase), in, n), true);
    }
    uint32_t put(uint32_t offset, const std::string &s)
    {
        std::memcpy(bytes + offset, s.data(), s.size());
        return kBase + offset;
    }
};

struct Row {
    uint32_t nr;
    uint32_t args[3];
    int32_t result;
    bool injected;
    std::string expected;
};

TEST(Trace, FormatsEachKindOfArgument)
{
    PageMemory mem;
    const uint32_t text = mem.put(0, "hi\n");
    const uint32_t odd = mem.put(16, std::string("\0\1\377\"\\\t\r", 7));
    const uint32_t longText = mem.put(64, std::string(100, 'a') + '\0');
    const uint32_t path = mem.put(256, std::string("/images/zylos.rei") + '\0');
    const std::string shown64(64, 'a');
    const std::vector<Row> rows = {
        {SYS_WRITE, {1, text, 3}, 3, false, R"(write(1, "hi\n", 3) = 3)"},
        {SYS_WRITE, {1, odd, 7}, 7, false, R"(write(1, "\000\001\377\"\\\t\r", 7) = 7)"},
        {SYS_WRITE, {1, longText, 100}, 100, false, "write(1, \"" + shown64 + "\"..., 100) = 100"},
        {SYS_WRITE, {1, 0x10, 5}, -14, false, "write(1, 0x00000010, 5) = -14"},
        {SYS_WRITE, {1, text, 1}, -5, true, R"(write(1, "h", 1) = -5 (injected))"},
        {SYS_READ, {0, text, 16}, 2, false, R"(read(0, "hi", 16) = 2)"},
        {SYS_READ, {0, text, 16}, -11, false, "read(0, 0x00001000, 16) = -11"},
        {SYS_OPEN, {path, 0x241, 0x241}, 3, false, R"(open("/images/zylos.rei", 0x241, 0x241) = 3)"},
        {SYS_SET_BACKGROUND, {path, 0, 0}, 0, false, R"(set_background("/images/zylos.rei") = 0)"},
        {SYS_SET_BACKGROUND, {longText, 0, 0}, -36, false, "set_background(\"" + shown64 + "\"...) = -36"},
        {SYS_SET_BACKGROUND, {0xC0000000, 0, 0}, -14, false, "set_background(0xc0000000) = -14"},
        {SYS_GETCWD, {path, 256, 0}, 17, false, R"(getcwd("/images/zylos.rei", 256) = 17)"},
        {SYS_EXIT, {3, 0, 0}, 0, false, "exit(3)"},
        {SYS_EXIT, {0xFFFFFFFF, 0, 0}, 9, true, "exit(-1) = 9 (injected)"},
        {SYS_GETKEY, {0, 0, 0}, 65, false, "getkey() = 65"},
        {SYS_LSEEK, {3, 0xFFFFFFFB, 2}, 6, false, "lseek(3, -5, 2) = 6"},
        {SYS_SPAWN, {path, 0x2000, 2}, -38, false, R"(spawn("/images/zylos.rei", 0x00002000, 2) = -38)"},
        {999, {1, 0x20, 3}, -38, false, "syscall_999(0x1, 0x20, 0x3) = -38"},
    };
    for (const Row &r : rows) {
        const CallRecord c{callName(r.nr), r.nr, {r.args[0], r.args[1], r.args[2]}, r.result, r.injected};
        EXPECT_EQ(formatCall(c, mem), r.expected);
    }
}

} // namespace
} // namespace zylos
