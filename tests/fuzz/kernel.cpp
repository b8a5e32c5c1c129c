// The kernel model and the root it resolves guest paths in, under random
// input, against a root with symlinks planted in it that point inside,
// outside, up, to "/" and in a loop. The last byte picks one of two modes:
//   - random calls: call numbers, argument words and guest memory with
//     holes, a read-only page and a page as near the top of the address
//     space as the CPU maps one. Every call returns a number; a call stores
//     only into the destination it names and only what its result says; a
//     buffer the guest does not own is never used;
//   - random paths built from "..", "//", ".", the planted names, host paths
//     and very long names, handed to the root itself: whatever it opens is
//     inside the root, as the host kernel names it.
// Either way no host file outside the root changes and no host descriptor
// outlives the input.
#include "fuzz_check.h"

#include "runner/engines/unicorn.h"
#include "runner/kernel/task.h"
#include "runner/kernel/layout.h"
#include "runner/kernel/root_dir.h"
#include "zylos/syscalls.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace zylos;
using zylos::fuzz::require;
namespace fs = std::filesystem;

namespace {

// The planted root, with what random paths are built from and the name the
// host kernel gives the root.
struct World : fuzz::PlantedRoot {
    World() : PlantedRoot("fuzz-kernel") {}

    std::string rootName = fs::canonical(folder()).string() + "/root";
    // clang-format off
    std::vector<std::string> tokens = {"/", "//", ".", "..", "dir", "file", "inner", "in_link", "out_abs", "out_rel",
        "up", "to_root", "loop", "file_out", "new", "secret", "outside", "sub", folder().string(), outside.string(),
        std::string(255, 'n'), std::string(256, 'm'), std::string(4000, 'l'), "\xff", "a\nb", " "};
    // clang-format on
};

// Guest memory, the CPU's own: regions with holes between them, a read-only
// page right before a writable one, and a page as near the top of the address
// space as the CPU maps one.
constexpr uint32_t kPaths = 0x10000; // canned paths, then fuzzed bytes
constexpr struct {
    uint32_t base, size;
    unsigned perms;
} kRegions[] = {{kPaths, 0x2000, kPermRead | kPermWrite},
                {0x13000, 0x1000, kPermRead},
                {0x14000, 0x1000, kPermRead | kPermWrite},
                {0xFFFFE000, 0x1000, kPermRead | kPermWrite}};

const char *const kCannedPaths[] = {
    // clang-format off
    "/file", "dir/inner", "/dir/new", "/out_abs/secret", "/out_rel/secret", "/up/outside/secret",
    "/to_root/out_abs/x", "/loop/x", "/file_out", "/in_link/inner", "..", "../../outside/secret", "/",
    "//dir//./inner", "dir/../../../outside", "/to_root", "",
    // clang-format on
};
constexpr uint32_t kFuzzedPath = kPaths + 64 * static_cast<uint32_t>(std::size(kCannedPaths));

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

UnicornEngine &memory()
{
    static UnicornEngine m(UnicornEngine::Options{});
    if (m.regions().empty())
        for (const auto &r : kRegions)
            m.map(r.base, r.size, r.perms);
    return m;
}

// Zeros, then the canned paths one per 64 bytes, fuzzed bytes after them and
// at the start of the other regions, and maybe a string that runs into the
// hole after a region.
void fillMemory(FuzzedDataProvider &in, UnicornEngine &mem)
{
    for (const UnicornEngine::Region &r : mem.regions()) {
        std::memset(r.host, 0, r.size);
        const std::vector<uint8_t> fill = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 128));
        std::copy(fill.begin(), fill.end(), r.host + (r.base == kPaths ? kFuzzedPath - kPaths : 0));
        if (in.ConsumeBool())
            std::fill(r.host + r.size - 16, r.host + r.size, 'x');
    }
    for (size_t i = 0; i < std::size(kCannedPaths); ++i)
        std::strcpy(reinterpret_cast<char *>(mem.regions().front().host) + 64 * i, kCannedPaths[i]);
}

uint32_t argument(FuzzedDataProvider &in, const UnicornEngine &mem)
{
    switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0: return in.ConsumeIntegralInRange<uint32_t>(0, 70); // descriptors, handles, whence
    case 1: {
        const UnicornEngine::Region &r = mem.regions()[in.ConsumeIntegralInRange<size_t>(0, mem.regions().size() - 1)];
        return r.base + in.ConsumeIntegralInRange<uint32_t>(0, r.size + 16); // up to and past the end
    }
    case 2: return kPaths + 64 * in.ConsumeIntegralInRange<uint32_t>(0, std::size(kCannedPaths) - 1);
    case 3: return in.PickValueInArray(kLengths);
    case 4: return in.PickValueInArray(kFlags);
    case 5: return kFuzzedPath;
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

// The bytes of all regions, one after the other.
void copyOut(const UnicornEngine &mem, std::vector<uint8_t> &out)
{
    out.clear();
    for (const UnicornEngine::Region &r : mem.regions())
        out.insert(out.end(), r.host, r.host + r.size);
}

void checkStores(const UnicornEngine &mem, const std::vector<uint8_t> &before, const Destination &d)
{
    const uint8_t *was = before.data();
    for (const UnicornEngine::Region &r : mem.regions()) {
        if (std::memcmp(r.host, was, r.size) != 0) // rare, and a byte loop costs most of an input
            for (size_t j = 0; j < r.size; ++j) {
                const uint64_t addr = uint64_t{r.base} + j;
                require(r.host[j] == was[j] || (addr >= d.addr && addr < uint64_t{d.addr} + d.size),
                        "a call stores only into its destination");
            }
        was += r.size;
    }
}

// A call that succeeded used its whole buffer, which the guest owns.
void checkBuffer(const UnicornEngine &mem, uint32_t nr, const uint32_t (&a)[3], int32_t result)
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

void fuzzCalls(FuzzedDataProvider &in, const World &w, UnicornEngine &mem)
{
    fillMemory(in, mem);
    StringConsole console;
    console.input = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16));
    Task task(RootDir(w.root.string()), console);
    task.setDeadline(Deadline(Task::Clock::now())); // sleeps end at once
    task.setWriteChunk(in.ConsumeIntegralInRange<size_t>(0, 8));
    std::vector<uint8_t> before; // filled anew, not made anew, for each call
    for (int n = 0; n < 24 && in.remaining_bytes() > 0 && !task.exited(); ++n) {
        const uint32_t nr = in.ConsumeBool() ? in.PickValueInArray(kCalls) : in.ConsumeIntegral<uint32_t>();
        const uint32_t a[3] = {argument(in, mem), argument(in, mem), argument(in, mem)};
        copyOut(mem, before);
        const int32_t result = task.call(nr, a, mem);
        checkStores(mem, before, destinationOf(nr, a, result));
        checkBuffer(mem, nr, a, result);
    }
}

std::string pathFrom(FuzzedDataProvider &in, const World &w)
{
    std::string path = in.ConsumeBool() ? "/" : "";
    for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 12); n > 0 && in.remaining_bytes(); --n) {
        if (in.ConsumeIntegralInRange(0, 7) == 0)
            path += in.ConsumeRandomLengthString(16);
        else
            path += w.tokens[in.ConsumeIntegralInRange<size_t>(0, w.tokens.size() - 1)];
        if (in.ConsumeBool())
            path += "/";
    }
    return path.substr(0, path.find('\0'));
}

void requireInside(const World &w, const UniqueFd &fd)
{
    char name[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
    const ssize_t n = readlink(link.c_str(), name, sizeof name);
    require(n > 0, "an opened descriptor has a host name");
    const std::string host(name, static_cast<size_t>(n));
    require(host == w.rootName || host.starts_with(w.rootName + "/"), "what the root opens is inside it");
}

void operate(FuzzedDataProvider &in, const World &w, const RootDir &root, const std::string &path)
{
    // clang-format off
    static constexpr int kOpenFlags[] = {O_PATH, O_PATH | O_NOFOLLOW, O_RDONLY, O_RDONLY | O_DIRECTORY,
                                         O_WRONLY | O_CREAT, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_CREAT | O_EXCL};
    // clang-format on
    UniqueFd fd;
    std::string name;
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        if (root.open(path, in.PickValueInArray(kOpenFlags) | O_NONBLOCK | O_NOCTTY, 0644, fd) == 0)
            requireInside(w, fd);
        break;
    case 1:
        if (root.openParent(path, fd, name) == 0) {
            requireInside(w, fd);
            require(!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..",
                    "openParent names one entry of its folder");
        }
        break;
    case 2: root.mkdir(path); break;
    case 3: root.unlink(path); break;
    case 4: root.rmdir(path); break;
    default: {
        const std::string bytes = in.ConsumeRandomLengthString(64);
        root.writeFile(path, {reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()});
    }
    }
}

void fuzzPaths(FuzzedDataProvider &in, const World &w)
{
    const RootDir root(w.root.string());
    while (in.remaining_bytes() > 0)
        operate(in, w, root, pathFrom(in, w));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const World w;
    UnicornEngine &mem = memory(); // made before the first count of descriptors
    const size_t descriptors = test::openHostDescriptors();
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        fuzzPaths(in, w);
    else
        fuzzCalls(in, w, mem);
    require(w.outsideUnchanged(), "nothing outside the root changed");
    w.replant();
    require(test::openHostDescriptors() == descriptors, "no host descriptor outlives the input");
    return 0;
}
