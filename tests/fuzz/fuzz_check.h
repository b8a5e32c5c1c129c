// What the fuzz targets and the root-confinement test share: a failed
// property is reported and aborts, so that libFuzzer keeps the input that
// broke it; and a root planted with symlinks that lead out of it.
#pragma once

#include "harness/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

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

// A root to confine the code under test to, and beside it an outside that
// must never change. The root holds symlinks that point inside it, outside
// it, up, to "/" and in a loop.
class PlantedRoot {
    TempDir dir_;

public:
    const std::filesystem::path root = dir_.path() / "root";
    const std::filesystem::path outside = dir_.path() / "outside";

    explicit PlantedRoot(const std::string &what) : dir_("zylos-" + what)
    {
        writeFile(outside / "secret", "secret");
        std::filesystem::create_directory(outside / "sub");
        plant();
        planted_ = treeOf(root);
        outside_ = treeOf(folder());
    }

    // Whatever was done inside the root, nothing beside it changed.
    bool outsideUnchanged() const { return treeOf(folder()) == outside_; }

    // The root as planted again. Only a root that changed is planted anew:
    // making it costs more than most inputs.
    void replant() const
    {
        if (treeOf(root) == planted_)
            return;
        std::filesystem::remove_all(root);
        plant();
    }

    const std::filesystem::path &folder() const { return dir_.path(); }

private:
    using Tree = std::map<std::string, std::string>;

    void plant() const
    {
        writeFile(root / "file", "content");
        writeFile(root / "dir" / "inner", "inner");
        // On this host a link to a folder is made as any other link.
        for (const auto &[name, target] : Tree{{"in_link", "dir"},
                                               {"out_abs", outside.string()},
                                               {"out_rel", "../outside"},
                                               {"dir/up", "../../../../.."},
                                               {"up", ".."},
                                               {"to_root", "/"},
                                               {"loop", "loop"},
                                               {"file_out", (outside / "secret").string()}})
            std::filesystem::create_symlink(target, root / name);
    }

    // Every file and folder under dir, with its content (folders and links
    // by their kind and target), but what is in the root when dir holds it.
    Tree treeOf(const std::filesystem::path &dir) const
    {
        namespace fs = std::filesystem;
        Tree tree;
        for (auto e = fs::recursive_directory_iterator(dir); e != fs::recursive_directory_iterator(); ++e) {
            const std::string name = e->path().lexically_relative(dir).string();
            if (e->path() == root)
                e.disable_recursion_pending();
            else if (e->is_symlink())
                tree[name] = "link:" + fs::read_symlink(e->path()).string();
            else
                tree[name] = e->is_directory() ? "dir" : "file:" + readFile(e->path());
        }
        return tree;
    }

    Tree planted_, outside_;
};

} // namespace zylos::fuzz
