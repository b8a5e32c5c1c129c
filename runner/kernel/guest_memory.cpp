#include "runner/kernel/guest_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zylos {

int GuestMemory::readString(uint32_t addr, size_t max, std::string &out) const
{
    constexpr uint64_t kPage = 4096;
    out.clear();
    uint64_t at = addr;
    char chunk[kPage];
    // Page by page, so that a string ending just before an unmapped page is
    // read without touching that page.
    while (out.size() <= max) {
        if (at > UINT32_MAX)
            return -EFAULT;
        const size_t n = static_cast<size_t>(kPage - at % kPage);
        if (!read(static_cast<uint32_t>(at), chunk, n))
            return -EFAULT;
        const void *nul = std::memchr(chunk, 0, n);
        const size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - chunk) : n;
        out.append(chunk, len);
        if (nul)
            return out.size() <= max ? 0 : -ENAMETOOLONG;
        at += n;
    }
    return -ENAMETOOLONG;
}

std::string hexAddress(uint32_t addr)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", addr);
    return buf;
}

} // namespace zylos
