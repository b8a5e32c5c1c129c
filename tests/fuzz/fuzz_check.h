// What the fuzz targets share: a failed property is reported and aborts, so
// that libFuzzer keeps the input that broke it; host folders for the targets
// that touch files are made once and removed at exit.
#pragma once

#include "harness/temp_dir.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

namespace zylos::fuzz {

[[noreturn]] inline void fail(const std::string &what)
{
    std::fprintf(stderr, "property failed: %s\n", what.c_str());
    std::abort();
}

inline void require(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

// Every file and folder under dir with its content (folders and links by
// their kind and target), to see that nothing under it changed.
inline std::map<std::string, std::string> treeOf(const std::filesystem::path &dir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(dir).string();
        if (e.is_symlink()) {
            tree[name] = "link:" + fs::read_symlink(e.path()).string();
        } else if (e.is_directory()) {
            tree[name] = "dir";
        } else {
            std::FILE *f = std::fopen(e.path().c_str(), "rb");
            std::string content;
            for (int c; f && (c = std::fgetc(f)) != EOF;)
                content.push_back(static_cast<char>(c));
            if (f)
                std::fclose(f);
            tree[name] = "file:" + content;
        }
    }
    return tree;
}

inline size_t openHostDescriptors()
{
    namespace fs = std::filesystem;
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
        ++n;
    return n;
}

// A root to confine the code under test to, and beside it an outside that
// must never change. The root is planted afresh for every input, with
// symlinks that point inside it, outside it, up, to "/" and in a loop.
class PlantedRoot {
public:
    explicit PlantedRoot(const std::string &what) : dir_("zylos-fuzz-" + what)
    {
        std::filesystem::create_directories(outside / "sub");
        std::ofstream(outside / "secret") << "secret";
        outsideTree_ = treeOf(dir_.path());
    }

    void plant() const
    {
        namespace fs = std::filesystem;
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

    // The root may change in any way; nothing else may.
    void requireOutsideUnchanged() const
    {
        std::map<std::string, std::string> tree = treeOf(dir_.path());
        require(tree.count("root") == 1, "the root is still there");
        std::erase_if(tree, [](const auto &e) { return e.first == "root" || e.first.starts_with("root/"); });
        require(tree == outsideTree_, "nothing outside the root changed");
    }

    const std::filesystem::path &folder() const { return dir_.path(); }

private:
    zylos::test::TempDir dir_;
    std::map<std::string, std::string> outsideTree_;

public:
    const std::filesystem::path root = dir_.path() / "root";
    const std::filesystem::path outside = dir_.path() / "outside";
};

} // namespace zylos::fuzz
