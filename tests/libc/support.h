// Small helpers shared by the library's test suites.
#pragma once

#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zylos::test {

constexpr uint32_t kFail = 0xFFFFFFFFu;
// The size of the heap arena.
constexpr uint32_t kHeapSize = 1048576;

// A test on the drape image, reset.
class GuestTest : public ::testing::Test {
protected:
    Guest &g = drapeGuest();
};

// n guest bytes at addr as a string.
inline std::string bytesAt(const Guest &g, uint32_t addr, size_t n)
{
    std::vector<uint8_t> b = g.read(addr, n);
    return std::string(b.begin(), b.end());
}

// Calls fn with the words w, padded to twelve with pad: surplus words are
// harmless to a cdecl callee, which reads only what it needs.
inline uint32_t callWords(Guest &g, const std::string &fn, const std::vector<uint32_t> &w, uint32_t pad = 0)
{
    auto at = [&](size_t i) { return i < w.size() ? w[i] : pad; };
    return g.call(fn, {at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7), at(8), at(9), at(10), at(11)});
}

// One argument word: a number, or a text placed in guest memory.
struct Word {
    Word(uint32_t v) : value(v) {}
    Word(int v) : value(static_cast<uint32_t>(v)) {}
    Word(const char *t) : text(t) {}
    uint32_t value = 0;
    const char *text = nullptr;
};

// Calls fn with the words w, then the words of args.
inline uint32_t callWith(Guest &g, const std::string &fn, std::vector<uint32_t> w, const std::vector<Word> &args)
{
    for (const Word &word : args)
        w.push_back(word.text ? g.str(word.text) : word.value);
    return callWords(g, fn, w);
}

inline size_t countCalls(const Guest &g, const std::string &name)
{
    size_t n = 0;
    for (const CallRecord &c : g.calls())
        n += c.name == name;
    return n;
}

// A pointer slot holding a marker, for routines that store an end pointer.
inline uint32_t endSlot(Guest &g)
{
    uint32_t slot = g.alloc(4);
    g.write32(slot, 0xDEADBEEF);
    return slot;
}

// The standard stream pointer stdin, stdout or stderr.
inline uint32_t stdStream(const Guest &g, const char *name) { return g.read32(g.sym(name)); }

// A file in the guest's root folder.
inline std::filesystem::path inRoot(const Guest &g, const std::string &name)
{
    return std::filesystem::path(g.rootDir()) / name;
}

} // namespace zylos::test
