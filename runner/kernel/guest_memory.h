// The kernel's only way into guest memory: every access is checked against
// what is mapped, so a bad guest pointer becomes an error result (-14) and
// never a host crash or a read of host memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// The mapped regions of a backend, kept sorted by base; R has base and size.
template <typename R>
void insertRegion(std::vector<R> &regions, R r)
{
    const auto at =
        std::upper_bound(regions.begin(), regions.end(), r.base, [](uint32_t a, const R &x) { return a < x.base; });
    regions.insert(at, std::move(r));
}

// The region holding addr, or null.
template <typename R>
const R *regionHolding(const std::vector<R> &regions, uint64_t addr)
{
    auto it = std::upper_bound(regions.begin(), regions.end(), addr, [](uint64_t a, const R &x) { return a < x.base; });
    if (it == regions.begin())
        return nullptr;
    --it;
    return addr - it->base < it->size ? &*it : nullptr;
}

// How a guest address is shown in messages and traces: 0x%08x.
std::string hexAddress(uint32_t addr);

} // namespace zylos
