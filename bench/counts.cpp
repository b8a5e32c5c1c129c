#include "counts.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace zylos::bench {
namespace {

constexpr uint32_t kLinuxBrk = 45, kLinuxMunmap = 91, kLinuxMmap2 = 192, kLinuxMadvise = 219;
constexpr uint32_t kHeapArena = 4u << 20;
constexpr uint32_t kStreamBytes = 64u << 10;

void expect(bool ok, const std::string &what)
{
    if (!ok)
        throw WrongResult(what);
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(i * 7 + 1);
    return p;
}

double copy(Guest &g, uint32_t size, uint32_t srcOffset, uint32_t dstOffset)
{
    const std::vector<uint8_t> bytes = pattern(size);
    const uint32_t src = g.alloc(size + 16) + srcOffset, dst = g.alloc(size + 16) + dstOffset;
    g.write(src, bytes.data(), size);
    g.call("memcpy", {dst, src, size});
    expect(g.read(dst, size) == bytes, "memcpy: wrong bytes");
    return static_cast<double>(g.instructions());
}

double memcpyAligned(Guest &g)
{
    return copy(g, 4096, 0, 0);
}
double memcpyMisaligned(Guest &g)
{
    return copy(g, 4095, 2, 1);
}

double memsetPage(Guest &g)
{
    const uint32_t dst = g.alloc(4096);
    g.call("memset", {dst, 0x5A, 4096u});
    expect(g.read(dst, 4096) == std::vector<uint8_t>(4096, 0x5A), "memset: wrong bytes");
    return static_cast<double>(g.instructions());
}

double memmoveUp(Guest &g)
{
    const std::vector<uint8_t> bytes = pattern(4000);
    const uint32_t src = g.alloc(4008);
    g.write(src, bytes.data(), bytes.size());
    g.call("memmove", {src + 8, src, 4000u});
    expect(g.read(src + 8, 4000) == bytes, "memmove: wrong bytes");
    return static_cast<double>(g.instructions());
}

double strlenLong(Guest &g)
{
    expect(g.call("strlen", {g.str(std::string(1023, 'x'))}) == 1023, "strlen: wrong length");
    return static_cast<double>(g.instructions());
}

double strcmpEqual(Guest &g)
{
    const std::string s(1023, 'q');
    expect(g.call("strcmp", {g.str(s), g.str(s)}) == 0, "strcmp: not equal");
    return static_cast<double>(g.instructions());
}

double strstrLate(Guest &g)
{
    std::string hay;
    for (int i = 0; i < 500; ++i)
        hay += "ab";
    const uint32_t h = g.str(hay + "abc");
    expect(g.call("strstr", {h, g.str("abc")}) == h + 1000, "strstr: wrong match");
    return static_cast<double>(g.instructions());
}

double snprintfMixed(Guest &g)
{
    const uint32_t buf = g.alloc(64);
    const uint32_t n = g.call("snprintf", {buf, 64u, g.str("%d %s %08x"), 12345, g.str("hello"), 0xBEEFu});
    expect(n == 20 && g.readStr(buf) == "12345 hello 0000beef", "snprintf: wrong text");
    return static_cast<double>(g.instructions());
}

double sscanfMixed(Guest &g)
{
    const uint32_t a = g.alloc(4), word = g.alloc(64), b = g.alloc(4);
    const uint32_t n = g.call("sscanf", {g.str("12 abc 0x1f"), g.str("%d %s %i"), a, word, b});
    expect(n == 3 && g.read32(a) == 12 && g.readStr(word) == "abc" && g.read32(b) == 31, "sscanf: wrong values");
    return static_cast<double>(g.instructions());
}

double strtoulMax(Guest &g)
{
    expect(g.call("strtoul", {g.str("4294967295"), 0u, 10}) == 4294967295u, "strtoul: wrong value");
    return static_cast<double>(g.instructions());
}

double strtoldPi(Guest &g)
{
    const long double v = g.callLD("strtold", {g.str("3.14159265358979e10"), 0u});
    expect(std::fabs(v / 3.14159265358979e10L - 1) < 1e-15L, "strtold: wrong value");
    return static_cast<double>(g.instructions());
}

// The second call: a heap that sets itself up on first use is measured as
// a program sees it from then on.
double malloc16(Guest &g)
{
    const uint32_t first = g.call("malloc", {16u});
    expect(first != 0, "malloc: first call failed");
    const uint32_t p = g.call("malloc", {16u});
    expect(p != 0 && p != first, "malloc: bad block");
    return static_cast<double>(g.instructions());
}

double memstreamFputc(Guest &g)
{
    const uint32_t bufVar = g.alloc(4), sizeVar = g.alloc(4);
    const uint32_t f = g.call("open_memstream", {bufVar, sizeVar});
    expect(f != 0, "open_memstream failed");
    uint64_t total = 0;
    for (uint32_t i = 0; i < kStreamBytes; ++i) {
        const uint32_t c = 'a' + i % 26;
        expect(g.call("fputc", {c, f}) == c, "fputc failed");
        total += g.instructions();
    }
    // Some libraries publish the buffer only when the stream is flushed.
    g.call("fflush", {f});
    const uint32_t size = g.read32(sizeVar);
    expect(size == kStreamBytes && g.readStr(g.read32(bufVar), size).substr(0, 3) == "abc",
           "memory stream: wrong content");
    return static_cast<double>(total) / kStreamBytes;
}

// int compare(const void *a, const void *b): (*a > *b) - (*a < *b) on ints.
constexpr uint8_t kCompareInts[] = {
    0x8b, 0x54, 0x24, 0x04, // mov 4(%esp), %edx
    0x8b, 0x4c, 0x24, 0x08, // mov 8(%esp), %ecx
    0x8b, 0x12,             // mov (%edx), %edx
    0x8b, 0x09,             // mov (%ecx), %ecx
    0x31, 0xc0,             // xor %eax, %eax
    0x39, 0xca,             // cmp %ecx, %edx
    0x0f, 0x9f, 0xc0,       // setg %al
    0x0f, 0x9c, 0xc2,       // setl %dl
    0x0f, 0xb6, 0xd2,       // movzbl %dl, %edx
    0x29, 0xd0,             // sub %edx, %eax
    0xc3,                   // ret
};
constexpr uint32_t kSortCount = 100000;
constexpr double kSortRandomGoal = 66e6;

double sortInts(Guest &g, std::vector<int32_t> values)
{
    const uint32_t bytes = 4 * kSortCount, base = g.alloc(bytes);
    g.write(base, values.data(), bytes);
    g.call("qsort", {base, kSortCount, 4u, g.code(kCompareInts)});
    const double insns = static_cast<double>(g.instructions());
    std::sort(values.begin(), values.end());
    expect(std::memcmp(g.read(base, bytes).data(), values.data(), bytes) == 0, "qsort: wrong order");
    return insns;
}

double qsortRandom(Guest &g)
{
    std::vector<int32_t> values(kSortCount);
    uint32_t state = 12345;
    for (int32_t &v : values) {
        state = state * 1103515245u + 12345u;
        v = static_cast<int32_t>(state);
    }
    return sortInts(g, values);
}

double qsortSorted(Guest &g)
{
    std::vector<int32_t> values(kSortCount);
    for (uint32_t i = 0; i < kSortCount; ++i)
        values[i] = static_cast<int32_t>(i);
    return sortInts(g, values);
}

double qsortReversed(Guest &g)
{
    std::vector<int32_t> values(kSortCount);
    for (uint32_t i = 0; i < kSortCount; ++i)
        values[i] = static_cast<int32_t>(kSortCount - i);
    return sortInts(g, values);
}

double qsortEqual(Guest &g)
{
    return sortInts(g, std::vector<int32_t>(kSortCount, 7));
}

bool has(const Guest &g, const std::string &name)
{
    try {
        g.sym(name);
        return true;
    } catch (const std::runtime_error &) {
        return false;
    }
}

} // namespace

const std::vector<Workload> &workloads()
{
    static const std::vector<Workload> list = {
        {"memcpy 4096 B, aligned", 1050, {"memcpy"}, memcpyAligned},
        {"memcpy 4095 B, src+2 to dst+1", 1100, {"memcpy"}, memcpyMisaligned},
        {"memset 4096 B", 1050, {"memset"}, memsetPage},
        {"memmove 4000 B, dst = src+8", 1100, {"memmove"}, memmoveUp},
        // A byte loop, three instructions a byte: no word reads past the NUL.
        {"strlen 1023 B", 3 * 1023 + 16, {"strlen"}, strlenLong},
        // Four instructions a byte: a branch for the NUL, one for the bytes.
        {"strcmp equal 1023 B", 4 * 1024 + 24, {"strcmp"}, strcmpEqual},
        {"strstr \"abc\" in \"ab\"x500+\"abc\"", 8000, {"strstr"}, strstrLate},
        {"snprintf \"%d %s %08x\"", 600, {"snprintf"}, snprintfMixed},
        {"sscanf \"%d %s %i\"", 500, {"sscanf"}, sscanfMixed},
        {"strtoul \"4294967295\"", 150, {"strtoul"}, strtoulMax},
        {"strtold \"3.14159265358979e10\"", std::nullopt, {"strtold"}, strtoldPi},
        {"malloc(16)", 20, {"malloc"}, malloc16},
        {"fputc to memory stream, per byte of 64 KiB",
         std::nullopt,
         {"open_memstream", "fputc", "fflush"},
         memstreamFputc},
        // About n log2 n comparisons, each a call of the comparison; ordered
        // and all-equal arrays within twice the random one's goal.
        {"qsort 10^5 ints, random", kSortRandomGoal, {"qsort"}, qsortRandom},
        {"qsort 10^5 ints, sorted", 2 * kSortRandomGoal, {"qsort"}, qsortSorted},
        {"qsort 10^5 ints, reversed", 2 * kSortRandomGoal, {"qsort"}, qsortReversed},
        {"qsort 10^5 ints, all equal", 2 * kSortRandomGoal, {"qsort"}, qsortEqual},
    };
    return list;
}

Count countOne(Guest &g, const Workload &w, const std::function<void(Guest &)> &prepare)
{
    for (const std::string &r : w.routines)
        if (!has(g, r))
            return {std::nullopt, "missing " + r};
    g.reset();
    if (prepare)
        prepare(g);
    try {
        return {w.measure(g), ""};
    } catch (const WrongResult &e) {
        return {std::nullopt, e.what()};
    } catch (const GuestFault &e) {
        // "guest fault in call of F: WHAT at eip E (SYMBOL)": WHAT and SYMBOL
        // say enough in a cell.
        const std::string what = e.what();
        const size_t from = what.find(": ") + 2, at = what.rfind(" at eip "), sym = what.rfind(" (");
        return {std::nullopt,
                "fault: " + what.substr(from, at - from) + " in " + what.substr(sym + 2, what.size() - sym - 3)};
    }
}

void serveLinuxHeapCalls(Guest &g)
{
    const uint32_t brkBase = g.alloc(kHeapArena, 4096), mapBase = g.alloc(kHeapArena, 4096);
    uint32_t brk = brkBase, mapped = 0;
    g.onCall([=](const CallRecord &c, GuestMemory &) mutable -> std::optional<int32_t> {
        switch (c.nr) {
        case kLinuxBrk:
            if (c.args[0] >= brkBase && c.args[0] - brkBase <= kHeapArena)
                brk = c.args[0];
            return static_cast<int32_t>(brk);
        case kLinuxMmap2: {
            const uint32_t size = (c.args[1] + 4095) & ~4095u;
            if (size == 0 || size > kHeapArena - mapped)
                return -ENOMEM;
            mapped += size;
            return static_cast<int32_t>(mapBase + mapped - size);
        }
        case kLinuxMunmap:
        case kLinuxMadvise: return 0;
        default: return -ENOSYS;
        }
    });
}

} // namespace zylos::bench
