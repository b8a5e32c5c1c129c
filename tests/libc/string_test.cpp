// String and memory routines: pointer guards, unsigned byte differences, exact
// writes, and reads that never pass the NUL or the count (strings placed
// against a guard page fault on any byte read too far). The character
// classes and the set and token routines against the host's.
#include "support.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace zylos::test {
namespace {

class String : public GuestTest {
protected:
    int32_t icall(const std::string &fn, std::initializer_list<Arg> args)
    {
        return static_cast<int32_t>(g.call(fn, args));
    }
    // Bytes with no NUL, ending right at the guard page.
    uint32_t unterminated(const std::string &text)
    {
        uint32_t at = g.allocAtGuard(text.size());
        g.write(at, text);
        return at;
    }
    uint32_t unmapped() { return g.allocAtGuard(16) + 16; }
};

TEST_F(String, LengthsOfLowPointersAndBoundedReads)
{
    for (uint32_t low : {0u, 4095u}) {
        EXPECT_EQ(g.call("strlen", {low}), 0u);
        EXPECT_EQ(g.call("strnlen", {low, 10}), 0u);
    }
    EXPECT_THROW(g.call("strlen", {4096u}), GuestFault); // not low: it is read
    EXPECT_EQ(g.call("strlen", {g.strAtGuard("abc")}), 3u);
    EXPECT_EQ(g.call("strnlen", {g.strAtGuard("abc"), 2}), 2u);
    EXPECT_EQ(g.call("strnlen", {g.strAtGuard("abc"), 0xFFFFFFFFu}), 3u);
    const uint32_t s = unterminated("abc");
    EXPECT_EQ(g.call("strnlen", {s, 3}), 3u);
    EXPECT_THROW(g.call("strnlen", {s, 4}), GuestFault);
    EXPECT_EQ(g.call("strnlen", {unmapped(), 0}), 0u);
}

// Each row holds for strcmp, strncmp and memcmp (over the shorter string and
// its NUL), and, with A to Z folded to lower case, for the case-insensitive
// pair.
TEST_F(String, ComparisonsReturnUnsignedByteDifferences)
{
    // clang-format off
    const struct { std::string a, b; int32_t result, folded; } rows[] = {
        {"abc", "abc", 0, 0}, {"a", "c", -2, -2}, {"abc", "ab", 99, 99}, {"", "x", -120, -120},
        {"\xE9", "A", 0xA8, 0x88}, {"A", "_", -30, 2}, {"ABC", "abd", -32, -1}, {"[", "{", -32, -32},
        {"\xC9", "\xE9", -32, -32}, {"Z", "z", -32, 0}};
    // clang-format on
    for (const auto &r : rows) {
        const uint32_t a = g.strAtGuard(r.a), b = g.strAtGuard(r.b), shorter = std::min(r.a.size(), r.b.size());
        const std::vector<int32_t> got = {icall("strcmp", {a, b}), icall("strncmp", {a, b, 100}),
                                          icall("memcmp", {a, b, shorter + 1}), icall("strcasecmp", {a, b}),
                                          icall("strncasecmp", {a, b, 100})};
        EXPECT_EQ(got, (std::vector<int32_t>{r.result, r.result, r.result, r.folded, r.folded}))
            << r.a << " vs " << r.b;
    }
    // Past a shared NUL only memcmp goes on; the counted forms stop at n.
    const uint32_t a = g.str(std::string("ab\0x", 4)), b = g.str(std::string("ab\0y", 4));
    EXPECT_EQ(icall("strcmp", {a, b}), 0);
    EXPECT_EQ(icall("memcmp", {a, b, 4}), 'x' - 'y');
    EXPECT_EQ(icall("strncmp", {g.str("abcd"), g.str("abce"), 3}), 0);
    EXPECT_EQ(icall("strncasecmp", {g.str("abX"), g.str("ABy"), 2}), 0);
}

TEST_F(String, ComparisonGuardsAndReadLimits)
{
    const uint32_t empty = g.str(""), text = g.str("text"), nowhere = unmapped();
    // clang-format off
    const struct { uint32_t a, b; int32_t result; } rows[] = {
        {0, 0, 0}, {4095, 0, -1}, {0, empty, -1}, {4095, text, -1}, {empty, 4095, 1}, {text, 0, 1},
        {nowhere, nowhere, 0}};
    // clang-format on
    for (const auto &r : rows) {
        EXPECT_EQ(icall("strcmp", {r.a, r.b}), r.result) << r.a << " vs " << r.b;
        EXPECT_EQ(icall("strncmp", {r.a, r.b, 5}), r.result) << r.a << " vs " << r.b;
    }
    EXPECT_EQ(icall("strncmp", {0, nowhere, 0}), 0);
    EXPECT_EQ(icall("memcmp", {0, nowhere, 0}), 0);
    // The case-insensitive pair tests null only: a low pointer is read.
    EXPECT_EQ(icall("strcasecmp", {0, 0}), 0);
    EXPECT_EQ(icall("strcasecmp", {0, text}), -1);
    EXPECT_EQ(icall("strncasecmp", {text, 0, 3}), 1);
    EXPECT_EQ(icall("strncasecmp", {0, text, 0}), 0);
    EXPECT_THROW(icall("strcasecmp", {16, text}), GuestFault);
    // ax ends at the guard page: one byte read past the deciding position faults.
    const uint32_t ax = unterminated("ax");
    for (const char *fn : {"strcmp", "strcasecmp"}) {
        EXPECT_EQ(icall(fn, {g.str("ay"), ax}), 1) << fn;
        EXPECT_EQ(icall(fn, {g.str("a"), ax}), -'x') << fn;
    }
    for (const char *fn : {"strncmp", "strncasecmp", "memcmp"}) {
        EXPECT_EQ(icall(fn, {g.str("ay"), ax, 50}), 1) << fn;
        EXPECT_EQ(icall(fn, {g.str("ax"), ax, 2}), 0) << fn;
    }
    EXPECT_THROW(icall("strcmp", {unterminated("abc"), g.str("abc")}), GuestFault);
}

// Each row writes into a buffer of '#': the bytes after the result show
// exactly how far the routine wrote.
TEST_F(String, CopiesAndAppendsWriteExactlyAndGuard)
{
    using namespace std::string_literals;
    // clang-format off
    const struct { const char *fn; std::string before, src; uint32_t n; std::string after; } rows[] = {
        // src "\x01": a null source
        {"strcpy", "", "abc", 0, "abc\0#"s}, {"strcpy", "xyz", "\x01", 0, "\0yz\0#"s},
        {"strncpy", "", "ab", 5, "ab\0\0\0#"s}, {"strncpy", "", "abcdef", 3, "abc#"},
        {"strncpy", "", "\x01", 3, "\0\0\0#"s}, {"strcat", "ab", "cd", 0, "abcd\0#"s},
        {"strcat", "ab", "\x01", 0, "ab\0#"s}, {"strncat", "ab", "xyz", 2, "abxy\0#"s},
        {"strncat", "ab", "xyz", 9, "abxyz\0#"s}};
    // clang-format on
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.fn << " \"" << r.before << "\" + \"" << r.src << "\"");
        const uint32_t dst = g.str(std::string(16, '#'));
        if (!r.before.empty())
            g.write(dst, r.before + '\0');
        // A source that n cuts short ends at the guard page after n bytes,
        // so reading any further faults.
        const bool cut = r.n != 0 && r.n <= r.src.size();
        const uint32_t src = r.src == "\x01" ? 0 : cut ? unterminated(r.src.substr(0, r.n)) : g.strAtGuard(r.src);
        EXPECT_EQ(g.call(r.fn, {dst, src, r.n}), dst); // n is a surplus word for the unbounded forms
        EXPECT_EQ(bytesAt(g, dst, r.after.size()), r.after);
    }
    // Guards: a null destination gives null.
    const uint32_t s = g.str("ab");
    for (const char *fn : {"strcpy", "strcat", "strncpy", "strncat"})
        EXPECT_EQ(g.call(fn, {0, s, 3}), 0u) << fn;
    // With nothing to copy not even a terminator is written: the destination
    // here is a text in read-only data, where any write faults.
    const uint32_t readOnly = g.call("strerror", {0});
    EXPECT_EQ(g.call("strncat", {readOnly, 0, 5}), readOnly);
    EXPECT_EQ(g.call("strncat", {readOnly, s, 0}), readOnly);
    EXPECT_EQ(g.call("strncpy", {readOnly, s, 0}), readOnly);
    EXPECT_THROW(g.call("strncat", {readOnly, s, 1}), GuestFault);
    // A low destination is measured as empty and never written.
    EXPECT_EQ(g.call("strcat", {16, s}), 16u);
    EXPECT_EQ(g.call("strncat", {4095, s, 2}), 4095u);
}

TEST_F(String, Searches)
{
    const uint32_t s = g.strAtGuard("abcab\xE9");
    // clang-format off
    const struct { const char *fn; int32_t c, at; } rows[] = {  // at -1: null
        {"strchr", 'b', 1}, {"strchr", 0, 6}, {"strchr", 'z', -1}, {"strchr", 0x162, 1}, {"strchr", -23, 5},
        {"strrchr", 'a', 3}, {"strrchr", 0, 6}, {"strrchr", 'z', -1}, {"strrchr", 0x361, 3}};
    // clang-format on
    for (const auto &r : rows)
        EXPECT_EQ(g.call(r.fn, {s, r.c}), r.at < 0 ? 0u : s + r.at) << r.fn << " " << r.c;
    for (const char *fn : {"strchr", "strrchr"})
        EXPECT_EQ(g.call(fn, {0, 'a'}), 0u) << fn;
    // strstr: the first occurrence wins, also after partial matches and for
    // needles longer than a word.
    // clang-format off
    const struct { std::string hay, needle; int32_t at; } found[] = {  // at -1: not found
        {"aaab", "aab", 1}, {"abc", "", 0}, {"", "", 0}, {"", "a", -1}, {"hello", "o", 4},
        {"xxabcde", "abcdef", -1}, {"abababc", "ababc", 2}, {"ab\xE9" "c", "\xE9" "c", 2},
        {"say abcdefgh", "abcdefg", 4}, {"abcdabcdabcdx", "abcdabcdx", 4}};
    // clang-format on
    for (const auto &r : found) {
        const uint32_t hay = g.strAtGuard(r.hay);
        EXPECT_EQ(g.call("strstr", {hay, g.strAtGuard(r.needle)}), r.at < 0 ? 0u : hay + r.at)
            << r.needle << " in " << r.hay;
    }
    EXPECT_EQ(g.call("strstr", {0, g.str("a")}), 0u);
    EXPECT_EQ(g.call("strstr", {g.str("a"), 0}), 0u);
}

TEST_F(String, BlockRoutinesCoverExactlyTheCountAndMemmoveOverlaps)
{
    for (uint32_t n : {0u, 1u, 3u, 4u, 5u, 1001u}) {
        for (uint32_t skew : {0u, 1u, 3u}) {
            SCOPED_TRACE(testing::Message() << n << " bytes, skew " << skew);
            const uint32_t area = g.str(std::string(n + 8, '#'));
            const uint32_t src = unterminated(std::string(n, 'x'));
            EXPECT_EQ(g.call("memcpy", {area + skew, src, n}), area + skew);
            EXPECT_EQ(bytesAt(g, area, n + 8),
                      std::string(skew, '#') + std::string(n, 'x') + std::string(8 - skew, '#'));
            EXPECT_EQ(g.call("memset", {area + skew, 0x141, n}), area + skew);
            EXPECT_EQ(bytesAt(g, area + skew, n + 1), std::string(n, 'A') + '#');
        }
    }
    const uint32_t a = unmapped();
    EXPECT_EQ(g.call("memcpy", {a, unmapped(), 0}), a);
    EXPECT_EQ(g.call("memset", {a, 1, 0}), a);
    EXPECT_EQ(g.call("memmove", {a, a, 5}), a);
    // memmove with overlap both ways, over lengths with whole words and odd
    // bytes, at distances below and above a word.
    for (uint32_t n : {1u, 5u, 11u, 103u}) {
        for (int32_t shift : {1, -1, 3, -3, 4, -4, 13, -13}) {
            std::string text;
            for (uint32_t i = 0; i < n + 26; ++i)
                text += char('A' + i % 26);
            const uint32_t base = g.str(text), src = base + 13, dst = src + shift;
            EXPECT_EQ(g.call("memmove", {dst, src, n}), dst);
            std::string expected = text;
            expected.replace(13 + shift, n, text.substr(13, n));
            EXPECT_EQ(bytesAt(g, base, text.size()), expected) << n << " bytes moved by " << shift;
        }
    }
}

TEST_F(String, StrtokSequences)
{
    // clang-format off
    const struct { std::string text; const char *delims; std::vector<std::string> tokens; } rows[] = {
        {"  a,,b ", " ,", {"a", "b"}}, {"", " ", {}}, {"   ", " ", {}}, {"a b,c", "", {"a b,c"}},
        {"a b,c", nullptr, {"a b,c"}}, {"x:y;z:", ":;", {"x", "y", "z"}}};  // nullptr: a null set
    // clang-format on
    for (const auto &r : rows) {
        const uint32_t delims = r.delims ? g.str(r.delims) : 0;
        std::vector<std::string> tokens;
        for (uint32_t t = g.call("strtok", {g.strAtGuard(r.text), delims}); t; t = g.call("strtok", {0, delims}))
            tokens.push_back(g.readStr(t));
        EXPECT_EQ(tokens, r.tokens) << r.text;
        EXPECT_EQ(g.call("strtok", {0, delims}), 0u) << "the sequence stays ended";
    }
    // Delimiters that end tokens become NUL; a new string abandons the old one.
    const uint32_t first = g.str("a b c"), second = g.str("x y"), space = g.str(" ");
    EXPECT_EQ(g.call("strtok", {first, space}), first);
    EXPECT_EQ(bytesAt(g, first, 3), std::string("a\0b", 3));
    EXPECT_EQ(g.call("strtok", {second, space}), second);
    EXPECT_EQ(g.call("strtok", {0, space}), second + 2);
}

// Every class function and the case mappings for EOF and each byte, against
// the host's C locale; any other value is in no class and keeps its case.
TEST_F(String, CharacterClassesAgreeWithTheHost)
{
    const std::pair<const char *, int (*)(int)> fns[] = {
        {"isalnum", ::isalnum}, {"isalpha", ::isalpha}, {"isblank", ::isblank}, {"iscntrl", ::iscntrl},
        {"isdigit", ::isdigit}, {"isgraph", ::isgraph}, {"islower", ::islower}, {"isprint", ::isprint},
        {"ispunct", ::ispunct}, {"isspace", ::isspace}, {"isupper", ::isupper}, {"isxdigit", ::isxdigit},
        {"tolower", ::tolower}, {"toupper", ::toupper}};
    for (const auto &[name, host] : fns) {
        const bool mapping = name[0] == 't';
        for (int c = -1; c < 256; ++c) {
            EXPECT_EQ(static_cast<int32_t>(g.call(name, {c})), mapping ? host(c) : host(c) != 0) << name << " " << c;
        }
        for (int c : {256, -2, 0x141, 0x161, INT_MIN})
            EXPECT_EQ(static_cast<int32_t>(g.call(name, {c})), mapping ? c : 0) << name << " " << c;
    }
}

// memchr, strspn, strcspn, strpbrk and strtok_r against the host's over
// generated texts and sets, each ending at a guard page; then the null cases.
TEST_F(String, SetAndTokenRoutinesAgreeWithTheHost)
{
    std::mt19937 random(27);
    const std::string alphabet = "ab, \xE9\x01";
    auto text = [&](size_t most) {
        std::string t(random() % (most + 1), ' ');
        std::generate(t.begin(), t.end(), [&] { return alphabet[random() % alphabet.size()]; });
        return t;
    };
    // The guest address matching a host result within from.
    auto at = [](uint32_t base, const void *p, const std::string &from) {
        return p ? base + uint32_t(static_cast<const char *>(p) - from.data()) : 0u;
    };
    for (int i = 0; i < 300; ++i) {
        std::string t = text(12), set = text(3), tokens = t;
        SCOPED_TRACE(testing::Message() << "\"" << t << "\" with \"" << set << "\"");
        const uint32_t gt = g.strAtGuard(t), gs = g.strAtGuard(set), bare = unterminated(t), gnext = g.alloc(4);
        EXPECT_EQ(g.call("strspn", {gt, gs}), std::strspn(t.c_str(), set.c_str()));
        EXPECT_EQ(g.call("strcspn", {gt, gs}), std::strcspn(t.c_str(), set.c_str()));
        EXPECT_EQ(g.call("strpbrk", {gt, gs}), at(gt, std::strpbrk(t.c_str(), set.c_str()), t));
        const int c = int(random() % 3) * 0x100 + alphabet[random() % alphabet.size()];
        EXPECT_EQ(g.call("memchr", {bare, c, uint32_t(t.size())}), at(bare, std::memchr(t.data(), c, t.size()), t));
        std::vector<std::string> want, got;
        char *next = nullptr;
        for (char *tok = strtok_r(tokens.data(), set.c_str(), &next); tok; tok = strtok_r(nullptr, set.c_str(), &next))
            want.push_back(tok);
        for (uint32_t tok = g.call("strtok_r", {gt, gs, gnext}); tok; tok = g.call("strtok_r", {0, gs, gnext}))
            got.push_back(g.readStr(tok));
        EXPECT_EQ(got, want);
        EXPECT_EQ(g.call("strtok_r", {0, gs, gnext}), 0u) << "the sequence stays ended";
    }
    // Null strings and sets (a null set is empty), and null continuations.
    const uint32_t t = g.str("ab,c"), set = g.str(","), nullNext = g.alloc(4);
    const struct {
        const char *fn;
        uint32_t a, b, c, result;
    } rows[] = {{"memchr", unmapped(), 'a', 0, 0}, {"strspn", 0, set, 0, 0},   {"strcspn", 0, set, 0, 0},
                {"strpbrk", 0, set, 0, 0},         {"strspn", t, 0, 0, 0},     {"strcspn", t, 0, 0, 4},
                {"strpbrk", t, 0, 0, 0},           {"strtok_r", t, set, 0, 0}, {"strtok_r", 0, set, nullNext, 0},
                {"strtok_r", t, 0, nullNext, t}};
    for (const auto &r : rows)
        EXPECT_EQ(g.call(r.fn, {r.a, r.b, r.c}), r.result) << r.fn << " " << r.a << " " << r.b;
}

} // namespace
} // namespace zylos::test
