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

// Walks the regions over n bytes from addr, each needing the permission
// bits need, calling f(region, address, bytes before it, bytes in it) for
// each piece; false, before any call, when a byte is unmapped or lacks them.
template <typename R, typename F>
bool walkRegions(const std::vector<R> &regions, uint32_t addr, size_t n, unsigned need, F &&f)
{
    if (n > (uint64_t{1} << 32))
        return false;
    const uint64_t end = uint64_t{addr} + n;
    for (uint64_t at = addr; at < end;) {
        const R *r = regionHolding(regions, at);
        if (!r || (r->perms & need) != need)
            return false;
        at = uint64_t{r->base} + r->size;
    }
    for (uint64_t at = addr; at < end;) {
        const R &r = *regionHolding(regions, at);
        const uint64_t stop = std::min<uint64_t>(end, uint64_t{r.base} + r.size);
        f(r, at, static_cast<size_t>(at - addr), static_cast<size_t>(stop - at));
        at = stop;
    }
    return true;
}

// How a guest address is shown in messages and traces: 0x%08x.
std::string hexAddress(uint32_t addr);

} // namespace zylos
