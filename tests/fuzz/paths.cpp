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

struct World {
    fuzz::TempDir dir{"paths"};
    fs::path root = dir.path() / "root", outside = dir.path() / "outside";
    std::string rootName = fs::canonical(dir.path()).string() + "/root";
    std::map<std::string, std::string> outsideTree;
    std::vector<std::string> tokens;

    World()
    {
        fs::create_directories(outside / "sub");
        std::ofstream(outside / "secret") << "secret";
        outsideTree = fuzz::treeOf(dir.path());
        tokens = {"/", "//", ".", "..", "dir", "file", "inner", "in_link", "out_abs", "out_rel", "up", "to_root",
                  "loop", "file_out", "new", "secret", "outside", "sub", dir.path().string(), outside.string(),
                  std::string(255, 'n'), std::string(256, 'm'), std::string(4000, 'l'), "\xff", "a\nb", " "};
    }

    void plantRoot()
    {
        fs::remove_all(root);
        fs::create_directories(root / "dir");
        std::ofstream(root / "file") << "content";
        std::ofstream(root / "dir" / "inner") << "inner";
        fs::create_directory_symlink("dir", root / "in_link");
        fs::create_directory_symlink(outside, root / "out_abs");
        fs::create_directory_symlink("../outside", root / "out_rel");
        fs::create_directory_symlink("../../../../..", root / "dir" / "up");
        fs::create_directory_symlink("..", root / "up");
        fs::create_directory_symlink("/", root / "to_root");
        fs::create_symlink("loop", root / "loop");
        fs::create_symlink(outside / "secret", root / "file_out");
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
    static constexpr int kOpenFlags[] = {O_PATH, O_PATH | O_NOFOLLOW, O_RDONLY, O_RDONLY | O_DIRECTORY,
                                         O_WRONLY | O_CREAT, O_WRONLY | O_CREAT | O_TRUNC, O_RDWR | O_CREAT | O_EXCL};
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
    w.plantRoot();
    FuzzedDataProvider in(data, size);
    {
        const RootDir root(w.root.string());
        while (in.remaining_bytes() > 0)
            operate(in, w, root, pathFrom(in, w));
    }
    std::map<std::string, std::string> tree = fuzz::treeOf(w.dir.path());
    require(tree.count("root") == 1, "the root is still there");
    std::erase_if(tree, [](const auto &e) { return e.first == "root" || e.first.starts_with("root/"); });
    require(tree == w.outsideTree, "nothing outside the root changed");
    require(fuzz::openHostDescriptors() == descriptors, "no host descriptor is left open");
    return 0;
}
