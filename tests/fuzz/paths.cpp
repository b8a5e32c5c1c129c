// Guest path resolution on random paths built from "..", "//", ".", names of
// symlinks planted in the root (pointing inside, outside, up, to "/", in a
// loop), host paths and very long names. Whatever the root opens is inside
// the root, as the host kernel names it; whatever it creates or removes
// leaves everything outside the root as it was.
#include "fuzz_check.h"

#include "root_dir.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

using namespace zylos;
using zylos::fuzz::require;
namespace fs = std::filesystem;

namespace {

// The planted root, with what paths are built from and the name the host
// kernel gives the root.
struct World : fuzz::PlantedRoot {
    std::string rootName = fs::canonical(folder()).string() + "/root";
    std::vector<std::string> tokens;

    World() : PlantedRoot("paths")
    {
        // clang-format off
        tokens = {"/", "//", ".", "..", "dir", "file", "inner", "in_link", "out_abs", "out_rel", "up", "to_root",
                  "loop", "file_out", "new", "secret", "outside", "sub", folder().string(), outside.string(),
                  std::string(255, 'n'), std::string(256, 'm'), std::string(4000, 'l'), "\xff", "a\nb", " "};
        // clang-format on
    }
};

World &world()
{
    static World w;
    return w;
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    World &w = world();
    const size_t descriptors = fuzz::openHostDescriptors();
    FuzzedDataProvider in(data, size);
    {
        const RootDir root(w.root.string());
        while (in.remaining_bytes() > 0)
            operate(in, w, root, pathFrom(in, w));
    }
    w.requireOutsideUnchangedAndReplant();
    fuzz::requireDescriptors(descriptors, "no host descriptor is left open");
    return 0;
}
