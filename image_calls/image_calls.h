// Calls single functions of a zylos image inside the runner's UnicornEngine: the
// image is loaded once and put back cheaply between calls, and the kernel
// model serves its calls. The test harness and the bench both call through it.
//
// Guest memory used by it: a 16 MiB scratch area for alloc() and str(); a
// read-only executable page for code(), the callbacks a call may need; guard
// slots for allocAtGuard() and strAtGuard(), each ending where an unmapped
// page begins (the 128 most recent such allocations stay valid); a return
// page that ends each call. File calls see a fresh, empty temporary folder
// as their root after every reset(), unless setRoot() says otherwise;
// rootDir() names it.
#pragma once

#include "hostlib/host_files.h"
#include "runner/debug/symbolizer.h"
#include "runner/engines/unicorn.h"
#include "runner/kernel/task.h"

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zylos {

using GuestMemoryView = GuestMemory;

// Thrown when a guest call faults or runs past its instruction limit.
struct GuestFault : std::runtime_error {
    GuestFault(const std::string &what, uint32_t address, uint32_t eip)
        // clang-format off
        : std::runtime_error(what), address(address), eip(eip) {}
    // clang-format on
    uint32_t address; // the address accessed, or the instruction for other faults
    uint32_t eip;
};

struct GuestPtr {
    uint32_t addr;
};

// One cdecl argument: a 32-bit word, or two (64-bit integers and doubles, low
// word first), or three (long double). Note that size_t is 64-bit on the
// host: pass sizes as uint32_t.
class Arg {
public:
    Arg(int v) : Arg(static_cast<unsigned>(v)) {}
    Arg(unsigned v) : count_(1) { words_[0] = v; }
    Arg(long v) : Arg(static_cast<unsigned long long>(v)) {}
    Arg(unsigned long v) : Arg(static_cast<unsigned long long>(v)) {}
    Arg(long long v) : Arg(static_cast<unsigned long long>(v)) {}
    Arg(unsigned long long v) : count_(2)
    {
        words_[0] = static_cast<uint32_t>(v);
        words_[1] = static_cast<uint32_t>(v >> 32);
    }
    Arg(double v);
    Arg(long double v);
    Arg(GuestPtr p) : Arg(p.addr) {}

    std::span<const uint32_t> words() const { return {words_, count_}; }

private:
    uint32_t words_[3] = {};
    size_t count_;
};

class Guest {
public:
    explicit Guest(const std::string &elfPath);
    Guest(const Guest &) = delete;
    Guest &operator=(const Guest &) = delete;

    // Writable memory, stack, scratch areas, registers, x87 (as after FNINIT),
    // the kernel (descriptors, directory, injections, script, log, console,
    // input) and the root all back to the initial state.
    void reset();

    uint32_t sym(const std::string &name) const;
    // A GS segment based at base, for images whose library reads its thread
    // pointer through %gs; kept across reset().
    void setGsSegment(uint32_t base);

    // cdecl call of fn with a fresh 16-byte aligned stack; returns EAX.
    uint32_t call(const std::string &fn, std::initializer_list<Arg> args = {});
    uint64_t call64(const std::string &fn, std::initializer_list<Arg> args = {}); // EDX:EAX
    // ST0: 8 mantissa bytes, then sign and exponent, little endian.
    std::array<uint8_t, 10> callF80(const std::string &fn, std::initializer_list<Arg> args = {});
    long double callLD(const std::string &fn, std::initializer_list<Arg> args = {});

    // Set when a call ended the guest through exit (call 2); that call
    // returns normally, and further calls need a reset() first.
    bool exited() const;
    int exitStatus() const;

    uint32_t alloc(size_t n, uint32_t align = 16);
    uint32_t str(std::string_view s);
    uint32_t allocAtGuard(size_t n);
    uint32_t strAtGuard(std::string_view s);
    // The address of these i386 instructions in the code page, for a guest
    // routine to call back (a qsort comparison, say). Kept across reset();
    // the same bytes give the same address.
    uint32_t code(std::span<const uint8_t> instructions);

    void write(uint32_t addr, const void *p, size_t n);
    void write(uint32_t addr, std::string_view s);
    std::vector<uint8_t> read(uint32_t addr, size_t n) const;
    std::string readStr(uint32_t addr, size_t max = 1 << 20) const;
    uint32_t read32(uint32_t addr) const;
    void write32(uint32_t addr, uint32_t v);
    uint8_t read8(uint32_t addr) const;

    // Kernel scripting for the current test; reset() clears it.
    // n is 1-based; 0 means every call of that name.
    void inject(const std::string &name, int n, int32_t result);
    void onCall(std::function<std::optional<int32_t>(const CallRecord &, GuestMemoryView &)> f);
    void setStdin(std::string bytes);
    void setRoot(const std::string &hostDir);
    const std::string &rootDir() const { return root_; }
    void setWriteChunk(size_t n);
    // Instructions one call may run before it is stopped as a GuestFault
    // (until the next reset; a billion by default).
    void setInstructionLimit(uint64_t n) { insnLimit_ = n; }

    const std::vector<CallRecord> &calls() const { return log_; }
    std::string console() const { return console_.output; }
    // Guest instructions run by the last call; each iteration of a
    // rep-prefixed instruction counts as one.
    uint64_t instructions() const { return lastInsns_; }

private:
    void invoke(const std::string &fn, std::initializer_list<Arg> args);
    std::string describe(const Stop &s, const std::string &fn) const;

    UnicornEngine machine_{UnicornEngine::Options{.counting = true}};
    UnicornEngine::Snapshot snapshot_;
    StringConsole console_;
    std::unique_ptr<Task> task_;
    std::unordered_map<std::string, uint32_t> symbols_;
    Symbolizer names_;
    std::vector<CallRecord> log_;
    TempDir tempRoot_{"zylos-guest"};
    std::string root_;
    uint8_t *scratch_ = nullptr;
    size_t scratchUsed_ = 0;
    std::vector<uint8_t *> guardSlots_;
    uint8_t *codePage_ = nullptr;
    std::vector<std::pair<std::vector<uint8_t>, uint32_t>> code_;
    size_t codeUsed_ = 0;
    size_t guardNext_ = 0;
    uint64_t lastInsns_ = 0;
    uint64_t insnLimit_ = 0;
};

} // namespace zylos
