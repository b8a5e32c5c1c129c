// The library's text routines through the guest-call harness, with every
// input and destination placed right before an unmapped page, so that a read
// past a string or argument list, or a store past a destination, faults:
//   - vsnprintf: random formats, sizes and argument words; nothing is stored
//     at or beyond the size, the result is the length that size 0 measures,
//     and what is stored is a prefix of the complete output;
//   - vsscanf: random texts and formats; no fault, no store beyond the
//     destinations, a count no higher than the destinations, and %s stores
//     runs of the text;
//   - strtold, strtod, strtoul and atoi on random texts: no fault, and the end
//     pointer stays inside the text;
//   - the stream writer under random write sizes with the heap nearly
//     exhausted: a memory stream's published content and a whole file's
//     content are exactly the bytes of the writes that succeeded.
#include "fuzz_check.h"

#include "harness/guest.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace zylos;
using zylos::Guest;
using zylos::GuestPtr;
using zylos::fuzz::require;

namespace {

constexpr uint8_t kMarker = 0xA5;
constexpr uint32_t kHeapArenaSize = 1u << 20;
// Past the first buffer capacities and several doublings; larger writes
// cost guest time in proportion and find nothing new.
constexpr size_t kLargeWrite = 20000;

std::string cString(std::string s) { return s.substr(0, s.find('\0')); }

// The argument words a memory format takes: which of them a %s reads as a
// string and which a * reads as a width or precision. Formats with digit runs
// of more than three digits are left out, since their output could be
// gigabytes long.
struct FormatPlan {
    std::vector<bool> isString, isStar;
    bool tooWide = false;

    void take(bool string, bool star)
    {
        isString.push_back(string);
        isStar.push_back(star);
    }
    size_t digits(const std::string &f, size_t i)
    {
        size_t n = 0;
        while (i + n < f.size() && f[i + n] >= '0' && f[i + n] <= '9')
            ++n;
        tooWide |= n > 3;
        return n;
    }
};

FormatPlan planPrintf(const std::string &f)
{
    FormatPlan p;
    for (size_t i = 0; i < f.size();) {
        if (f[i++] != '%')
            continue;
        while (i < f.size() && (f[i] == '-' || f[i] == '0' || f[i] == '+'))
            ++i;
        if (i < f.size() && f[i] == '*')
            p.take(false, true), ++i;
        else
            i += p.digits(f, i);
        if (i < f.size() && f[i] == '.') {
            ++i;
            if (i < f.size() && f[i] == '*')
                p.take(false, true), ++i;
            else
                i += p.digits(f, i);
        }
        if (i < f.size() && f[i] == 'l')
            i += i + 1 < f.size() && f[i + 1] == 'l' ? 2 : 1;
        else if (i < f.size() && f[i] == 'z')
            ++i;
        if (i == f.size())
            break;
        const char c = f[i++];
        if (std::strchr("diuxXcps", c))
            p.take(c == 's', false);
    }
    return p;
}

void fuzzPrintf(Guest &g, FuzzedDataProvider &in)
{
    const std::string format = cString(in.ConsumeRandomLengthString(64));
    const FormatPlan plan = planPrintf(format);
    if (plan.tooWide)
        return;
    std::vector<uint32_t> words;
    for (size_t i = 0; i < plan.isString.size(); ++i) {
        if (plan.isStar[i])
            words.push_back(static_cast<uint32_t>(in.ConsumeIntegralInRange<int32_t>(-300, 300)));
        else if (plan.isString[i])
            words.push_back(
                in.ConsumeIntegralInRange(0, 7) == 0 ? 0 : g.strAtGuard(cString(in.ConsumeRandomLengthString(80))));
        else
            words.push_back(in.ConsumeIntegral<uint32_t>());
    }
    const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 400);
    const uint32_t fmt = g.strAtGuard(format);
    const uint32_t args = g.allocAtGuard(4 * words.size());
    g.write(args, words.data(), 4 * words.size());

    const uint32_t length = g.call("vsnprintf", {0u, 0u, fmt, GuestPtr{args}});
    require(length <= 0xFFFF, "the measured length is that of a short output");
    const uint32_t whole = g.allocAtGuard(length + 1);
    require(g.call("vsnprintf", {whole, length + 1, fmt, GuestPtr{args}}) == length,
            "the result is the measured length");
    const std::vector<uint8_t> full = g.read(whole, length + 1);
    require(full[length] == 0, "a complete output is terminated");

    const uint32_t array = g.allocAtGuard(size);
    const std::vector<uint8_t> marks(size, kMarker);
    g.write(array, marks.data(), marks.size());
    require(g.call("vsnprintf", {array, size, fmt, GuestPtr{args}}) == length, "a cut output returns the whole length");
    if (size == 0)
        return;
    const size_t stored = std::min<size_t>(length, size - 1);
    const std::vector<uint8_t> got = g.read(array, size);
    require(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(stored), full.begin()),
            "the stored bytes are a prefix of the whole output");
    require(got[stored] == 0, "the stored bytes are terminated");
    require(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(stored) + 1, got.end(),
                        [](uint8_t b) { return b == kMarker; }),
            "nothing is stored after the terminator");
}

enum class Dest { Int, Char, String };

// The destinations a scan format takes, in order, up to where the scan
// ends whatever the text.
std::vector<Dest> planScanf(const std::string &f)
{
    std::vector<Dest> dests;
    for (size_t i = 0; i < f.size();) {
        if (f[i++] != '%')
            continue;
        const bool suppressed = i < f.size() && f[i] == '*';
        i += suppressed;
        while (i < f.size() && f[i] >= '0' && f[i] <= '9')
            ++i;
        if (i == f.size())
            break;
        const char c = f[i++];
        if (c == '%')
            continue;
        if (!std::strchr("diuxXcs", c))
            break;
        if (!suppressed)
            dests.push_back(c == 'c' ? Dest::Char : c == 's' ? Dest::String : Dest::Int);
    }
    return dests;
}

void fuzzScanf(Guest &g, FuzzedDataProvider &in)
{
    const std::string format = cString(in.ConsumeRandomLengthString(48));
    const std::string text = cString(in.ConsumeRandomLengthString(200));
    const std::vector<Dest> dests = planScanf(format);
    std::vector<uint32_t> pointers;
    std::vector<size_t> sizes;
    for (Dest d : dests) {
        const size_t n = d == Dest::Int ? 4 : d == Dest::Char ? 1 : text.size() + 1;
        const bool null = d == Dest::String && in.ConsumeIntegralInRange(0, 5) == 0;
        const uint32_t p = null ? 0 : g.allocAtGuard(n);
        if (p) {
            const std::vector<uint8_t> marks(n, kMarker);
            g.write(p, marks.data(), n);
        }
        pointers.push_back(p);
        sizes.push_back(n);
    }
    const uint32_t args = g.allocAtGuard(4 * pointers.size());
    g.write(args, pointers.data(), 4 * pointers.size());
    const int32_t count =
        static_cast<int32_t>(g.call("vsscanf", {g.strAtGuard(text), g.strAtGuard(format), GuestPtr{args}}));
    require(count >= 0 && static_cast<size_t>(count) <= dests.size(), "the count is one of the destinations'");
    for (size_t i = 0; i < dests.size(); ++i) {
        if (dests[i] != Dest::String || !pointers[i])
            continue;
        const std::vector<uint8_t> got = g.read(pointers[i], sizes[i]);
        if (got[0] == kMarker)
            continue;
        const auto nul = std::find(got.begin(), got.end(), 0);
        require(nul != got.end(), "a stored %s run is terminated");
        require(text.find(std::string(got.begin(), nul)) != std::string::npos, "a stored %s run comes from the text");
    }
}

void fuzzNumbers(Guest &g, FuzzedDataProvider &in)
{
    const int base = in.ConsumeIntegralInRange(-2, 40);
    const std::string text = cString(in.ConsumeRandomLengthString(300));
    const uint32_t t = g.strAtGuard(text);
    const uint32_t end = g.allocAtGuard(4);
    auto endInText = [&] {
        const uint32_t e = g.read32(end);
        return e >= t && e <= t + text.size();
    };
    g.call("atoi", {t});
    g.write32(end, 0);
    g.call("strtoul", {t, end, base});
    require(endInText(), "strtoul's end pointer lies in the text");
    for (const char *fn : {"strtold", "strtod"}) {
        g.write32(end, 0);
        const std::array<uint8_t, 10> value = g.callF80(fn, {t, end});
        require(endInText(), "the end pointer of strtold and strtod lies in the text");
        const bool positiveZero = std::all_of(value.begin(), value.end(), [](uint8_t b) { return b == 0; });
        require(g.read32(end) != t || positiveZero, "no conversion gives +0");
    }
}

// n bytes of a pattern with a period of 251 from a fuzzed start, and no NUL
// so that fputs takes all of it: a lost, repeated or reordered piece shows.
std::string pattern(FuzzedDataProvider &in, size_t n)
{
    const size_t start = in.ConsumeIntegral<uint8_t>();
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(1 + (start + i) % 251);
    return out;
}

// One write through a random front end: the bytes it reports taken, "" when
// it refuses them.
std::string writeSome(Guest &g, FuzzedDataProvider &in, uint32_t stream)
{
    std::string bytes = pattern(in, in.ConsumeIntegralInRange<size_t>(0, in.ConsumeBool() ? kLargeWrite : 600));
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
        const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(1, 4);
        bytes.resize(bytes.size() - bytes.size() % size);
        const uint32_t count = static_cast<uint32_t>(bytes.size()) / size;
        return g.call("fwrite", {g.str(bytes), size, count, stream}) == count ? bytes : "";
    }
    case 1: return static_cast<int32_t>(g.call("fputs", {g.str(bytes), stream})) >= 0 ? bytes : "";
    default: {
        const std::string one = bytes.empty() ? "c" : bytes.substr(0, 1);
        return static_cast<int32_t>(g.call("fputc", {static_cast<uint8_t>(one[0]), stream})) != -1 ? one : "";
    }
    }
}

// Writes to a memory stream or a whole file with between 0 and 64 KiB of the
// heap left free (the fill mark stays a multiple of 8, as the heap keeps
// it), so that a few large writes exhaust it. A memory stream publishes
// exactly the accepted bytes after each write, a closed file holds them.
void fuzzStream(Guest &g, FuzzedDataProvider &in, bool inMemory)
{
    g.write32(g.sym("g_heap_used"), kHeapArenaSize - 8 * in.ConsumeIntegralInRange<uint32_t>(0, 8u << 10));
    const uint32_t vars = g.alloc(8);
    const uint32_t stream =
        inMemory ? g.call("open_memstream", {vars, vars + 4}) : g.call("fopen", {g.str("/out"), g.str("w")});
    if (!stream)
        return; // no room for the record
    std::string expected;
    for (int n = 0; n < 48 && in.remaining_bytes() > 0; ++n) {
        expected += writeSome(g, in, stream);
        if (!inMemory)
            continue;
        const uint32_t buf = g.read32(vars), size = g.read32(vars + 4);
        require(size == expected.size(), "the published size counts exactly the accepted bytes");
        if (size == 0)
            continue;
        const std::vector<uint8_t> content = g.read(buf, size + 1);
        require(std::string(content.begin(), content.end() - 1) == expected && content[size] == 0,
                "the published buffer holds exactly the accepted bytes");
    }
    if (!inMemory && g.call("fclose", {stream}) == 0)
        require(readFile(std::filesystem::path(g.rootDir()) / "out") == expected,
                "the file holds exactly the accepted bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Guest &g = test::drapeGuest();
    FuzzedDataProvider in(data, size);
    try {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: fuzzPrintf(g, in); break;
        case 1: fuzzScanf(g, in); break;
        case 2: fuzzNumbers(g, in); break;
        case 3: fuzzStream(g, in, true); break;
        default: fuzzStream(g, in, false); break;
        }
    } catch (const GuestFault &e) {
        fuzz::fail(e.what());
    }
    return 0;
}
