// The kernel model under random calls: call numbers, argument words and
// guest memory with holes, read-only pages and a page at the very top of the
// address space, against a root folder with symlinks planted inside it that
// point inside and outside. Every call returns a number; a call stores only
// into the destination it names and only what its result says; a buffer the
// guest does not own is never used; no host file outside the root changes;
// no host descriptor outlives the kernel.
#include "fuzz_check.h"

#include "kernel.h"
#include "zylos/syscalls.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>

using namespace zylos;
using zylos::fuzz::require;
namespace fs = std::filesystem;

namespace {

// Guest memory for the fuzzer: a few regions, with holes between them.
class HoleyMemory final : public GuestMemory {
public:
    struct Region {
        uint32_t base, size;
        bool writable;
        std::vector<uint8_t> bytes;
    };
    std::vector<Region> regions;

    bool accessible(uint32_t addr, size_t n, bool forWrite) const override
    {
        return walk(addr, n, forWrite, [](size_t, size_t, size_t, size_t) {});
    }
    bool read(uint32_t addr, void *out, size_t n) const override
    {
        return accessible(addr, n, false) && walk(addr, n, false, [&](size_t r, size_t at, size_t done, size_t len) {
                   std::memcpy(static_cast<uint8_t *>(out) + done, regions[r].bytes.data() + at, len);
               });
    }
    bool write(uint32_t addr, const void *in, size_t n) override
    {
        return accessible(addr, n, true) && walk(addr, n, true, [&](size_t r, size_t at, size_t done, size_t len) {
                   std::memcpy(regions[r].bytes.data() + at, static_cast<const uint8_t *>(in) + done, len);
               });
    }

private:
    // Calls f(region index, offset in it, bytes done, length) piece by piece.
    template <typename F>
    bool walk(uint32_t addr, size_t n, bool forWrite, F &&f) const
    {
        const uint64_t end = uint64_t{addr} + n;
        for (uint64_t at = addr; at < end;) {
            auto r = std::find_if(regions.begin(), regions.end(),
                                  [&](const Region &x) { return at >= x.base && at - x.base < x.size; });
            if (r == regions.end() || (forWrite && !r->writable))
                return false;
            const uint64_t stop = std::min<uint64_t>(end, uint64_t{r->base} + r->size);
            f(static_cast<size_t>(r - regions.begin()), static_cast<size_t>(at - r->base),
              static_cast<size_t>(at - addr), static_cast<size_t>(stop - at));
            at = stop;
        }
        return true;
    }
};

constexpr uint32_t kPaths = 0x10000, kPathsSize = 0x2000; // then a hole
constexpr uint32_t kReadOnly = 0x13000, kReadOnlySize = 0x1000;
constexpr uint32_t kBuffers = 0x14000, kBuffersSize = 0x1000; // right after the read-only page
constexpr uint32_t kTop = 0xFFFFF000, kTopSize = 0x1000;

const char *const kCannedPaths[] = {
    // clang-format off
    "/file", "dir/inner", "/dir/new", "/out_abs/secret", "/out_rel/secret", "/up/outside/secret",
    "/to_root/out_abs/x", "/loop/x", "/file_out", "/in_link/inner", "..", "../../outside/secret", "/",
    "//dir//./inner", "dir/../../../outside", "/to_root", "",
    // clang-format on
};

// clang-format off
constexpr uint32_t kCalls[] = {SYS_WRITE, SYS_EXIT, SYS_READ, SYS_OPEN, SYS_CLOSE, SYS_GETKEY, SYS_WRITEFILE,
    SYS_USLEEP, SYS_MKDIR, SYS_UNLINK, SYS_RMDIR, SYS_GETCWD, SYS_ZYLFS_STREAM_BEGIN, SYS_ZYLFS_STREAM_WRITE,
    SYS_ZYLFS_STREAM_END, SYS_SET_BACKGROUND, SYS_CHDIR, SYS_LSEEK, SYS_PIPE, SYS_MKFIFO, SYS_DUP, SYS_DUP2,
    SYS_FD_SET_INHERIT, SYS_SPAWN};
constexpr uint32_t kLengths[] = {0, 1, 2, 7, 8, 16, 255, 4095, 4096, 4097, 8192, 0x10000, 0x10001,
                                 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
constexpr uint32_t kFlags[] = {O_RDONLY, O_WRONLY | O_CREAT, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR, O_WRONLY | O_APPEND,
                               O_CREAT | O_EXCL | O_WRONLY, O_ACCMODE, O_DIRECTORY, 0x40000000};
// clang-format on

fuzz::PlantedRoot &world()
{
    static fuzz::PlantedRoot w("kernel");
    return w;
}

HoleyMemory memoryFrom(FuzzedDataProvider &in)
{
    HoleyMemory mem;
    mem.regions = {{kPaths, kPathsSize, true, std::vector<uint8_t>(kPathsSize)},
                   {kReadOnly, kReadOnlySize, false, std::vector<uint8_t>(kReadOnlySize)},
                   {kBuffers, kBuffersSize, true, std::vector<uint8_t>(kBuffersSize)},
                   {kTop, kTopSize, true, std::vector<uint8_t>(kTopSize)}};
    // The canned paths, one per 64 bytes; then fuzzed bytes over the rest.
    std::vector<uint8_t> &paths = mem.regions[0].bytes;
    for (size_t i = 0; i < std::size(kCannedPaths); ++i)
        std::strcpy(reinterpret_cast<char *>(paths.data() + 64 * i), kCannedPaths[i]);
    for (HoleyMemory::Region &r : mem.regions) {
        const std::vector<uint8_t> fill = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 128));
        const size_t at = r.base == kPaths ? 64 * std::size(kCannedPaths) : 0;
        std::copy(fill.begin(), fill.end(), r.bytes.begin() + static_cast<std::ptrdiff_t>(at));
        if (in.ConsumeBool()) // a string that runs into the hole after the region
            std::fill(r.bytes.end() - 16, r.bytes.end(), 'x');
    }
    return mem;
}

uint32_t argument(FuzzedDataProvider &in, const HoleyMemory &mem)
{
    switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: return in.ConsumeIntegralInRange<uint32_t>(0, 70); // descriptors, handles, whence
    case 1: {
        const HoleyMemory::Region &r = mem.regions[in.ConsumeIntegralInRange<size_t>(0, mem.regions.size() - 1)];
        return r.base + in.ConsumeIntegralInRange<uint32_t>(0, r.size + 16); // up to and past the end
    }
    case 2: return kPaths + 64 * in.ConsumeIntegralInRange<uint32_t>(0, std::size(kCannedPaths) - 1);
    case 3: return in.PickValueInArray(kLengths);
    case 4: return in.PickValueInArray(kFlags);
    case 5: return kPaths + 64 * static_cast<uint32_t>(std::size(kCannedPaths)); // the fuzzed bytes
    default: return in.ConsumeIntegral<uint32_t>();
    }
}

struct Destination {
    uint32_t addr;
    uint64_t size;
};

// Where a call may store, given its result: nothing for most calls.
Destination destinationOf(uint32_t nr, const uint32_t (&a)[3], int32_t result)
{
    switch (nr) {
    case SYS_READ: return {a[1], result > 0 ? static_cast<uint64_t>(result) : 0};
    case SYS_GETCWD: return {a[0], result >= 0 ? static_cast<uint64_t>(result) + 1 : 0};
    case SYS_PIPE: return {a[0], result == 0 ? 8u : 0u};
    default: return {0, 0};
    }
}

void checkStores(const HoleyMemory &before, const HoleyMemory &after, const Destination &d)
{
    for (size_t i = 0; i < before.regions.size(); ++i) {
        const HoleyMemory::Region &b = before.regions[i], &a = after.regions[i];
        if (std::memcmp(a.bytes.data(), b.bytes.data(), b.size) == 0)
            continue; // the common case, and a byte loop costs most of an input
        for (size_t j = 0; j < b.size; ++j) {
            if (a.bytes[j] == b.bytes[j])
                continue;
            const uint64_t addr = uint64_t{b.base} + j;
            require(addr >= d.addr && addr < uint64_t{d.addr} + d.size, "a call stores only into its destination");
        }
    }
}

// A call that succeeded used its whole buffer, which the guest owns.
void checkBuffer(const HoleyMemory &mem, uint32_t nr, const uint32_t (&a)[3], int32_t result)
{
    if (result < 0)
        return;
    switch (nr) {
    case SYS_WRITE:
    case SYS_WRITEFILE:
    case SYS_ZYLFS_STREAM_WRITE:
        require(mem.accessible(a[1], a[2], false), "a written buffer is readable guest memory");
        require(nr != SYS_WRITE || static_cast<uint32_t>(result) <= a[2], "a write takes no more than asked");
        break;
    case SYS_READ:
        require(mem.accessible(a[1], a[2], true), "a read buffer is writable guest memory");
        require(static_cast<uint32_t>(result) <= a[2], "a read gives no more than asked");
        break;
    case SYS_GETCWD: require(static_cast<uint32_t>(result) < a[1], "getcwd fits its size"); break;
    }
}

void runCalls(FuzzedDataProvider &in, HoleyMemory &mem, Kernel &kernel)
{
    HoleyMemory before; // assigned to, not made anew, for each call: it is copied 24 times an input
    for (int n = 0; n < 24 && in.remaining_bytes() > 0 && !kernel.exited(); ++n) {
        const uint32_t nr = in.ConsumeBool() ? in.PickValueInArray(kCalls) : in.ConsumeIntegral<uint32_t>();
        const uint32_t a[3] = {argument(in, mem), argument(in, mem), argument(in, mem)};
        before = mem;
        const int32_t result = kernel.call(nr, a, mem);
        checkStores(before, mem, destinationOf(nr, a, result));
        checkBuffer(mem, nr, a, result);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::PlantedRoot &w = world();
    const size_t descriptors = fuzz::openHostDescriptors();
    FuzzedDataProvider in(data, size);
    HoleyMemory mem = memoryFrom(in);
    {
        StringConsole console;
        console.input = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16));
        Kernel kernel(RootDir(w.root.string()), console);
        kernel.setDeadline(Kernel::Clock::now()); // sleeps end at once
        kernel.setWriteChunk(in.ConsumeIntegralInRange<size_t>(0, 8));
        runCalls(in, mem, kernel);
    }
    w.requireOutsideUnchangedAndReplant();
    fuzz::requireDescriptors(descriptors, "no host descriptor outlives the kernel");
    return 0;
}
