// stdlib: process end, exit handlers, environment, absolute values, division
// (with assert), sorting and search, error texts, rand with srand;
// the bump allocator (exact block placement and fill
// marks, exhaustion, and the allocating string copies); and text to number
// conversions. Integers: white-space sets, bases and prefixes, 32-bit
// wrap-around, and where the end pointer lands. strtold and strtod: compared
// bit for bit with hand-worked values.
#include "support.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <initializer_list>
#include <limits>
#include <random>

namespace zylos::test {
namespace {

using StdlibProcess = GuestTest;

// exit, abort and an exit after atexit (whose handler is never kept nor run)
// make the one exit call and nothing else: no stream is flushed at exit.
TEST_F(StdlibProcess, ExitAbortAndAtexit)
{
    for (int status : {3, 0, 255, 1, 5}) {
        g.reset();
        if (status == 1) {
            g.call("abort");
        } else {
            if (status == 5) {
                EXPECT_EQ(g.call("atexit", {g.sym("abort")}), 0u);
            }
            g.call("exit", {status});
        }
        ASSERT_TRUE(g.exited()) << status;
        EXPECT_EQ(g.exitStatus(), status);
        EXPECT_EQ(g.calls().size(), 1u) << status;
    }
}

TEST_F(StdlibProcess, ErrorTextsGetenvAndAbs)
{
    // clang-format off
    const struct { int32_t number; const char *text; } rows[] = {
        {0, "ok"}, {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"},
        {1, "error"}, {12, "error"}, {39, "error"}, {-1, "error"}};
    // clang-format on
    for (const auto &row : rows) {
        const uint32_t text = g.call("strerror", {row.number});
        EXPECT_EQ(g.readStr(text), row.text) << row.number;
        EXPECT_EQ(g.call("strerror", {row.number}), text) << "the same pointer every time";
    }
    EXPECT_EQ(g.read32(g.sym("errno")), 0u) << "strerror leaves errno alone";
    // getenv finds nothing (there is no environment); abs and labs keep INT_MIN.
    EXPECT_EQ(g.call("getenv", {g.str("PATH")}), 0u);
    const struct {
        int32_t in, out;
    } cases[] = {{-5, 5}, {5, 5}, {0, 0}, {-1, 1}, {INT_MAX, INT_MAX}, {-INT_MAX, INT_MAX}, {INT_MIN, INT_MIN}};
    for (const char *fn : {"abs", "labs"})
        for (const auto &c : cases)
            EXPECT_EQ(int32_t(g.call(fn, {c.in})), c.out) << fn << "(" << c.in << ")";
}

// div and ldiv return their pair through a pointer the caller passes first;
// a zero denominator and INT_MIN / -1 keep numerator = quot * den + rem.
TEST_F(StdlibProcess, DivisionAndAssert)
{
    const struct {
        int32_t num, den, quot, rem;
    } rows[] = {
        {7, 2, 3, 1}, {-7, 2, -3, -1},           {7, -2, -3, 1},           {-7, -2, 3, -1},           {0, 5, 0, 0},
        {5, 0, 0, 5}, {INT_MIN, -1, INT_MIN, 0}, {INT_MIN, 1, INT_MIN, 0}, {INT_MAX, -1, -INT_MAX, 0}};
    const uint32_t pair = g.alloc(8);
    for (const char *fn : {"div", "ldiv"})
        for (const auto &r : rows)
            EXPECT_EQ((std::vector{g.call(fn, {pair, r.num, r.den}), g.read32(pair), g.read32(pair + 4)}),
                      (std::vector{pair, uint32_t(r.quot), uint32_t(r.rem)}))
                << fn << " " << r.num << " / " << r.den;
    g.call("__zylos_assert_failed", {g.str("n > 1"), g.str("prog.c"), 12, g.str("main")});
    EXPECT_TRUE(g.exited() && g.exitStatus() == 1);
    EXPECT_EQ(g.console(), "prog.c:12: main: assertion failed: n > 1\n");
}

// Records of 3 bytes (swapped byte by byte) and 12 (word by word) holding
// strings from three letters, sorted with strcmp as the comparison; then
// bsearch finds each record.
TEST_F(StdlibProcess, QsortAndBsearchOverRecords)
{
    std::mt19937 random(5);
    const uint32_t byStrcmp = g.sym("strcmp");
    for (uint32_t size : {3u, 12u}) {
        for (uint32_t count : {0u, 2u, 9u, 300u}) {
            std::vector<std::string> records(count, std::string(size, '\0'));
            for (std::string &r : records)
                std::generate(r.begin(), r.end() - 1, [&] { return char('a' + random() % 3); });
            const uint32_t base = g.alloc(size * count + 1, 4) + (size == 3);
            for (uint32_t i = 0; i < count; ++i)
                g.write(base + i * size, records[i]);
            g.call("qsort", {base, count, size, byStrcmp});
            std::sort(records.begin(), records.end());
            for (uint32_t i = 0; i < count; ++i) {
                ASSERT_EQ(bytesAt(g, base + i * size, size), records[i]) << size << " " << count;
                const uint32_t found = g.call("bsearch", {g.str(records[i]), base, count, size, byStrcmp});
                EXPECT_EQ(found ? bytesAt(g, found, size) : "", records[i]);
            }
            EXPECT_EQ(g.call("bsearch", {g.str("b!"), base, count, size, byStrcmp}), 0u);
        }
    }
}

std::vector<uint32_t> draws(Guest &g, int n)
{
    std::vector<uint32_t> out;
    for (int i = 0; i < n; ++i)
        out.push_back(g.call("rand"));
    return out;
}

// Seed 1 gives the classic sequence, seed 0 the same; a first rand without
// srand seeds itself from the counter: not seed 1, and another each run.
TEST(StdlibRand, SeedingAndTheKnownSequence)
{
    Guest &g = drapeGuest();
    const std::vector<uint32_t> classic{16838, 5758, 10113, 17515, 31051};
    for (uint32_t seed : {1u, 0u}) {
        g.call("srand", {seed});
        EXPECT_EQ(draws(g, 5), classic) << seed;
    }
    g.call("srand", {2u});
    EXPECT_NE(draws(g, 5), classic);
    g.reset();
    const std::vector<uint32_t> unseeded = draws(g, 5);
    EXPECT_NE(unseeded, classic);
    g.call("srand", {1u});
    EXPECT_EQ(draws(g, 5), classic);
    g.reset();
    EXPECT_NE(draws(g, 5), unseeded);
}

class Heap : public GuestTest {
protected:
    const uint32_t heap = g.sym("g_heap");
    uint32_t used() const { return g.read32(g.sym("g_heap_used")); }
    using State = std::pair<uint32_t, uint32_t>; // fill mark and errno
    State state() const { return {used(), g.read32(g.sym("errno"))}; }
    uint32_t recorded(uint32_t payload) const { return g.read32(payload - 4); }
};

TEST_F(Heap, BlocksFollowOnEightByteStepsAndCallocClearsThem)
{
    const struct {
        uint32_t size, payload, mark;
    } steps[] = {{0, 4, 8}, {5, 12, 24}, {12, 28, 40}, {13, 44, 64}, {4, 68, 72}};
    for (const auto &s : steps) {
        EXPECT_EQ(g.call("malloc", {s.size}), heap + s.payload) << s.size;
        EXPECT_EQ(used(), s.mark) << s.size;
        EXPECT_EQ(recorded(heap + s.payload), s.size ? s.size : 1) << s.size;
    }
    EXPECT_TRUE(g.calls().empty());
    // calloc clears only the product and checks its width.
    g.reset();
    g.write(heap, std::string(32, '\xAA'));
    const uint32_t p = g.call("calloc", {3, 5});
    EXPECT_EQ(recorded(p), 15u);
    EXPECT_EQ(bytesAt(g, p, 16), std::string(15, '\0') + '\xAA');
    for (auto [count, size] : {std::pair{0u, 10u}, {10u, 0u}})
        EXPECT_EQ(recorded(g.call("calloc", {count, size})), 1u);
    EXPECT_EQ(used(), 40u);
    for (auto [count, size] : {std::pair{65536u, 65536u}, {2u, 0x80000000u}, {0x10000u, 0x8000u}}) {
        g.write32(g.sym("errno"), 0);
        EXPECT_EQ(g.call("calloc", {count, size}), 0u) << count << " x " << size;
        EXPECT_EQ(state(), (State{40, 12}));
    }
}

TEST_F(Heap, ExhaustionFailsWithErrnoAndMovesNothing)
{
    for (uint32_t size : {kHeapSize - 3, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        g.reset();
        EXPECT_EQ(g.call("malloc", {size}), 0u) << size;
        EXPECT_EQ(state(), (State{0, 12})) << size;
    }
    g.reset();
    EXPECT_EQ(g.call("malloc", {kHeapSize - 4}), heap + 4); // fills the arena exactly
    EXPECT_EQ(state(), (State{kHeapSize, 0}));
    EXPECT_EQ(g.call("malloc", {0}), 0u);
    EXPECT_EQ(state(), (State{kHeapSize, 12}));
}

TEST_F(Heap, ReallocTakesAFreshBlockAndFreeDoesNothing)
{
    g.write(heap, std::string(96, '\xAA'));
    const uint32_t ten = g.call("malloc", {10});
    g.write(ten, std::string("0123456789"));
    const uint32_t four = g.call("realloc", {ten, 4});
    EXPECT_EQ(four, heap + 20);
    EXPECT_EQ(bytesAt(g, four, 8), "0123\xAA\xAA\xAA\xAA");
    const uint32_t grown = g.call("realloc", {four, 10});
    EXPECT_EQ(recorded(grown), 10u);
    EXPECT_EQ(bytesAt(g, grown, 10), "0123\xAA\xAA\xAA\xAA\xAA\xAA");
    const uint32_t one = g.call("realloc", {grown, 0});
    EXPECT_EQ(recorded(one), 1u);
    EXPECT_EQ(g.read8(one), uint8_t('0'));
    EXPECT_EQ(g.call("realloc", {0, 16}), one + 8); // like malloc
    EXPECT_EQ(recorded(one + 8), 16u);
    // The old block stays, also when a request does not fit.
    EXPECT_EQ(g.call("realloc", {ten, kHeapSize}), 0u);
    EXPECT_EQ(state(), (State{72, 12}));
    EXPECT_EQ(bytesAt(g, ten, 10), "0123456789");
    // free changes nothing.
    for (uint32_t ptr : {ten, 0u, 0xDEADBEEFu})
        g.call("free", {ptr});
    EXPECT_EQ(state(), (State{72, 12}));
    EXPECT_EQ(bytesAt(g, ten, 10), "0123456789");
}

TEST_F(Heap, StringCopies)
{
    // n is strndup's count; strdup ignores the surplus word.
    // clang-format off
    const struct { const char *fn; uint32_t src, n; std::string copy; } rows[] = {
        {"strdup", g.strAtGuard("hello"), 0, "hello"}, {"strdup", 16, 0, ""},
        {"strndup", g.strAtGuard("abcdef"), 3, "abc"}, {"strndup", g.strAtGuard("ab"), 10, "ab"},
        {"strndup", g.strAtGuard("ab"), 0, ""}, {"strndup", 4095, 4, ""}};
    // clang-format on
    for (const auto &r : rows) {
        const uint32_t before = used(), copy = g.call(r.fn, {r.src, r.n});
        EXPECT_EQ(copy, heap + before + 4) << r.fn << " " << r.copy;
        EXPECT_EQ(recorded(copy), r.copy.size() + 1) << r.fn << " " << r.copy;
        EXPECT_EQ(g.readStr(copy), r.copy) << r.fn;
    }
    const uint32_t mark = used();
    EXPECT_EQ(g.call("strdup", {0}), 0u);
    EXPECT_EQ(g.call("strndup", {0, 3}), 0u);
    EXPECT_EQ(used(), mark);
    // strndup reads nothing at or beyond the count.
    const uint32_t s = g.allocAtGuard(3);
    g.write(s, std::string("xyz"));
    EXPECT_EQ(g.readStr(g.call("strndup", {s, 3})), "xyz");
    EXPECT_THROW(g.call("strndup", {s, 4}), GuestFault);
}

class StdlibStrtol : public GuestTest {
protected:
    // clang-format off
    struct Case { const char *text; int base; uint32_t value; int64_t end; };
    // clang-format on
    // strtol is strtoul under another name: both must give the same bits and
    // the same end pointer. The text ends at a guard page, so reading past
    // its terminator faults.
    void expectAll(std::initializer_list<Case> cases)
    {
        for (const Case &c : cases)
            for (const char *fn : {"strtoul", "strtol"}) {
                uint32_t s = c.text ? g.strAtGuard(c.text) : 0u, slot = endSlot(g);
                uint32_t value = g.call(fn, {s, slot, c.base});
                EXPECT_EQ(std::pair(value, int64_t(g.read32(slot)) - int64_t(s)), std::pair(c.value, c.end))
                    << fn << "(" << ::testing::PrintToString(c.text) << ", " << c.base << ")";
            }
    }
};

TEST_F(StdlibStrtol, WhiteSpaceNoSignAndPrefixes)
{
    // clang-format off
    expectAll({{" \t\n\r42", 10, 42, 6}, {"\v42", 10, 0, 0}, {"\f42", 10, 0, 0}, {"  xyz", 10, 0, 2}, {"", 10, 0, 0},
               {"  ", 10, 0, 2}, {"42 7", 10, 42, 2}, {"-5", 10, 0, 0}, {"+5", 10, 0, 0}, {" -0x10", 0, 0, 1},
               // clang-format on
               {"\t+7", 16, 0, 1},
               {nullptr, 10, 0, 0}});
    // A consumed prefix is never given back, even with no digit after it.
    // clang-format off
    expectAll({{"0x1A", 0, 26, 4}, {"0X1a", 16, 26, 4}, {"1a", 16, 26, 2}, {"0x", 0, 0, 2},
               {"0x", 16, 0, 2}, {"0xg", 0, 0, 2}, {"0", 16, 0, 1}, {"0", 0, 0, 1},
               {"017", 0, 15, 3}, {"08", 0, 0, 1}, {"10", 0, 10, 2}, {"0x0x1", 0, 0, 3},
               {"0x10", 10, 0, 1}, {"0x10", 36, 0, 1}, {" 0x1f", 0, 31, 5}});
    // clang-format on
}

// Only 0-9 and a-f are digits in any base; the base test is signed.
TEST_F(StdlibStrtol, Bases)
{
    // clang-format off
    expectAll({{"777", 8, 511, 3}, {"778", 8, 63, 2}, {"101", 2, 5, 3}, {"ff", 20, 315, 2},
               {"g", 36, 0, 0}, {"fz", 36, 15, 1}, {"1f", 1000, 1015, 2}, {"12", 1, 0, 0},
               {"00", 1, 0, 2}, {"12", -1, 0, 0}, {"0x1", -16, 0, 0}, {"5", INT_MIN, 0, 0},
               {"9", 9, 0, 0}, {"9", 10, 9, 1}});
    // clang-format on
    // Modulo 2^32, for both.
    // clang-format off
    expectAll({{"4294967295", 10, 0xFFFFFFFFu, 10}, {"4294967296", 10, 0, 10}, {"4294967297", 10, 1, 10},
               {"FfFfFfFf", 16, 0xFFFFFFFFu, 8}, {"80000000", 16, 0x80000000u, 8},
               // clang-format on
               {"123456789abcdef", 16, 0x89ABCDEFu, 15}});
}

TEST_F(StdlibStrtol, AtoiAtolNullTextAndCost)
{
    // clang-format off
    const struct { const char *text; int32_t value; } cases[] = {
        {"  -12x", -12}, {"\t\n 7", 7}, {"+42", 42}, {"007", 7}, {"-0", 0}, {"", 0}, {"+-5", 0}, {"- 5", 0},
        {"-", 0}, {"+", 0}, {"\r5", 0}, {"\v5", 0}, {"\f5", 0}, {"0x10", 0}, {"abc", 0}, {"2147483647", INT_MAX},
        {"2147483648", INT_MIN}, {"-2147483648", INT_MIN}, {"4294967297", 1}, {"-4294967295", 1}, {nullptr, 0}};
    // clang-format on
    for (const auto &c : cases) {
        uint32_t s = c.text ? g.strAtGuard(c.text) : 0u;
        for (const char *fn : {"atoi", "atol"})
            EXPECT_EQ(int32_t(g.call(fn, {s})), c.value) << fn << " " << ::testing::PrintToString(c.text);
    }
    // A null text with no end pointer stores nothing (the null text row of
    // the other tests shows its end stored as null).
    for (const char *fn : {"strtoul", "strtol"})
        EXPECT_EQ(g.call(fn, {0u, 0u, 10}), 0u) << fn;
}

// The host's long double is the same x87 extended format; where a value is
// not exact, it is written as the steps the parser takes (times or over ten,
// rounding each time).
static_assert(std::numeric_limits<long double>::digits == 64, "the expected values need x87 extended long double");

// v times (n > 0) or over (n < 0) ten, |n| times, rounding at every step.
long double tens(long double v, int n)
{
    volatile long double acc = v;
    for (int i = 0; i < std::abs(n); ++i)
        acc = n > 0 ? acc * 10.0L : acc / 10.0L;
    return acc;
}

// Compared as raw bits: -0 and +0 differ.
bool same(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

struct Row {
    std::string text;
    long double value;
    int64_t end;
};

class StdlibStrtold : public GuestTest {
protected:
    // The text ends at a guard page, so a read past its terminator faults.
    void expectRows(const char *fn, const std::vector<Row> &rows)
    {
        for (const Row &r : rows) {
            const uint32_t s = g.strAtGuard(r.text), slot = endSlot(g);
            const long double got = g.callLD(fn, {s, slot});
            EXPECT_TRUE(same(got, r.value)) << fn << " \"" << r.text << "\" gave " << got << ", want " << r.value;
            EXPECT_EQ(int64_t(g.read32(slot)) - int64_t(s), r.end) << fn << " \"" << r.text << '"';
        }
    }
};

// A marker without a digit after its sign stays unconsumed; no mantissa
// digit gives +0 and the end back at the start.
TEST_F(StdlibStrtold, HandWorkedTexts)
{
    // clang-format off
    expectRows("strtold",
               {{"-12.5e1", -125, 7}, {"  -12e2", -1200, 7}, {"+.5", 0.5, 3}, {"-.5", -0.5, 3}, {"5.", 5, 2},
                {"5.e2", 500, 4}, {"00012.50", 12.5, 8}, {"1.2.3", tens(12, -1), 3}, {"0.1", tens(1, -1), 3},
                {"1e2e3", 100, 3}, {"12abc", 12, 2}, {"1e+0", 1, 4}, {"7E-0", 7, 4}, {"0.3e1", tens(tens(3, -1), 1), 5},
                {"1e-3", tens(1, -3), 4}, {"18446744073709551615", 18446744073709551615.0L, 20},
                {"0x1F.8p-1", 15.75, 9}, {"0x1.8p1", 3, 7}, {"0X1P-2", 0.25, 6}, {"0xfF", 255, 4}, {"0x.8", 0.5, 4},
                {"0x1.", 1, 4}, {"0x10p0004", 256, 9}, {"-0xA.8", -10.5, 6}, {"0x1e3", 483, 5}, {"0x1p+3", 8, 6},
                {"0x1.0p", 1, 5}, {"1e", 1, 1}, {"1ex", 1, 1}, {"1e+", 1, 1}, {"1e-x", 1, 1}, {"0x1p", 1, 3},
                {"0x1p+", 1, 3}, {"0x1e", 30, 4}, {"2p3", 2, 1}, {"-0", -0.0L, 2}, {"-0x0p9", -0.0L, 6},
                {"-0.0e5", -0.0L, 6}, {"+0", 0, 2}, {"\v7", 7, 2}, {"\f7", 7, 2}, {"\r7", 7, 2}, {" \t\n7", 7, 4},
                {"0x", 0, 0}, {"0xg", 0, 0}, {"0x.", 0, 0}, {"0x.p1", 0, 0}, {".", 0, 0}, {"-", 0, 0}, {"- 5", 0, 0},
                {"+-5", 0, 0}, {"inf", 0, 0}, {"nan", 0, 0}, {".e5", 0, 0}, {"  -.", 0, 0}, {" \t-0x", 0, 0},
                {"", 0, 0}, {"\x01" "5", 0, 0}, {"-inf", 0, 0}});
    // clang-format on
    for (const char *fn : {"strtold", "strtod"}) {
        const uint32_t slot = endSlot(g);
        EXPECT_TRUE(same(g.callLD(fn, {0u, slot}), 0)) << fn;
        EXPECT_EQ(g.read32(slot), 0u) << fn;
        EXPECT_TRUE(same(g.callLD(fn, {0u, 0u}), 0)) << fn;
    }
}

// 1024 steps at most, however large the exponent or the fraction, but every
// fraction digit still enters the accumulator.
TEST_F(StdlibStrtold, ScalingCaps)
{
    const long double big = tens(1, 1024);
    const std::string zeros(1100, '0');
    const auto n = int64_t(zeros.size());
    // clang-format off
    expectRows("strtold",
               {{"1e5000", big, 6}, {"1e1024", big, 6}, {"1e1025", big, 6}, {"1e99999999999", big, 13},
                {"1e-5000", tens(1, -1024), 7}, {"-1e-99999999999999999999", -tens(1, -1024), 24},
                {"1e0000000000000000000000002", 100, 27}, {"0x1p5000", std::ldexp(1.0L, 1024), 8},
                {"0x1p-5000", std::ldexp(1.0L, -1024), 9}, {"0e5000", 0, 6},
                {"0." + zeros + "1", tens(1, -1024), n + 3}, {"0x0." + zeros + "1", std::ldexp(1.0L, -4096), n + 5},
                {"0.5" + zeros, tens(tens(5, 1100), -1024), n + 3}});
    // clang-format on
}

// The value rounded to double (once more, from the extended one: ties to
// even), not the extended one; overflow is infinity, -0 keeps its sign.
TEST_F(StdlibStrtold, StrtodRoundsToDouble)
{
    // clang-format off
    expectRows("strtod", {{"0.1", double(tens(1, -1)), 3}, {"-12.5e1", -125, 7}, {"0x1.fffffffffffffffp0", 2, 21},
                          {"1e308", double(tens(1, 308)), 5}, {"1e-310", double(tens(1, -310)), 6}, {"1e-400", 0, 6},
                          {"0x1.00000000000008p0", 1, 20}, {"0x1.00000000000018p0", 1 + std::ldexp(1.0L, -51), 20},
                          {"1e5000", HUGE_VALL, 6}, {"-0x1p5000", -HUGE_VALL, 9}, {"-0", -0.0L, 2},
                          // clang-format on
                          {"1e-5000", 0, 7}});
}

} // namespace
} // namespace zylos::test
