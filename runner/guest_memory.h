// The kernel's only way into guest memory: every access is checked against
// what is mapped, so a bad guest pointer becomes an error result (-14) and
// never a host crash or a read of host memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zylos {

class GuestMemory {
public:
    virtual ~GuestMemory() = default;

    // True when all n bytes from addr are mapped (and writable when asked).
    virtual bool accessible(uint32_t addr, size_t n, bool forWrite) const = 0;
    virtual bool read(uint32_t addr, void *out, size_t n) const = 0;
    virtual bool write(uint32_t addr, const void *in, size_t n) = 0;

    // A NUL-terminated string of at most max bytes before its NUL: 0, -14
    // when a byte before the NUL is unmapped, -36 when no NUL comes in time.
    int readString(uint32_t addr, size_t max, std::string &out) const;
};

// How a guest address is shown in messages and traces: 0x%08x.
std::string hexAddress(uint32_t addr);

} // namespace zylos
