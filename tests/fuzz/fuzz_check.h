// What the fuzz targets share: a failed property is reported and aborts, so
// that libFuzzer keeps the input that broke it; host folders for the targets
// that touch files are made once and removed at exit.
#pragma once

#include "harness/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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

using Tree = std::map<std::string, std::string>;

// Adds the entries of the folder open at dirFd (which it closes) to tree,
// named from prefix on. Plain system calls: a walk runs twice per input, and one through
// std::filesystem costs more than the input.
inline void addTree(int dirFd, const std::string &prefix, Tree &tree)
{
    DIR *d = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
    if (!d) {
        if (dirFd >= 0)
            close(dirFd);
        fail("cannot list " + prefix);
    }
    while (const dirent *e = readdir(d)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..")
            continue;
        const std::string name = prefix + entry;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            fail("cannot look at " + name);
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target);
            tree[name] = "link:" + std::string(target, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        } else if (S_ISDIR(st.st_mode)) {
            tree[name] = "dir";
            addTree(openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), name + "/", tree);
        } else {
            std::string content = "file:";
            const int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            char buf[65536];
            for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
                content.append(buf, static_cast<size_t>(n));
            if (fd >= 0)
                close(fd);
            tree[name] = std::move(content);
        }
    }
    closedir(d);
}

// Every file and folder under dir with its content (folders and links by
// their kind and target), to see that nothing under it changed.
inline Tree treeOf(const std::filesystem::path &dir)
{
    Tree tree;
    addTree(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "", tree);
    return tree;
}

inline size_t openHostDescriptors()
{
    DIR *d = opendir("/proc/self/fd");
    require(d != nullptr, "/proc/self/fd lists the open descriptors");
    size_t n = 0;
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

// Fails, naming every open descriptor, unless as many are open as before.
inline void requireDescriptors(size_t before, const char *what)
{
    if (openHostDescriptors() == before)
        return;
    std::string open;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        open += " " + e.path().filename().string() + "->" + std::filesystem::read_symlink(e.path(), ec).string();
    }
    fail(std::string(what) + "; open now:" + open);
}

// A root to confine the code under test to, and beside it an outside that
// must never change. The root holds symlinks that point inside it, outside
// it, up, to "/" and in a loop.
class PlantedRoot {
public:
    explicit PlantedRoot(const std::string &what) : dir_("zylos-fuzz-" + what)
    {
        std::filesystem::create_directories(outside / "sub");
        std::ofstream(outside / "secret") << "secret";
        planted_ = {{"dir", "dir"},
                    {"file", "file:content"},
                    {"dir/inner", "file:inner"},
                    {"in_link", "link:dir"},
                    {"out_abs", "link:" + outside.string()},
                    {"out_rel", "link:../outside"},
                    {"dir/up", "link:../../../../.."},
                    {"up", "link:.."},
                    {"to_root", "link:/"},
                    {"loop", "link:loop"},
                    {"file_out", "link:" + (outside / "secret").string()}};
        std::filesystem::create_directory(root);
        replant({});
        outsideTree_ = treeOf(dir_.path());
        takeRoot(outsideTree_);
    }

    // Called after each input: the root may have changed in any way, nothing
    // else may. Then the root is made as planted again, touching only the
    // entries the input changed.
    void requireOutsideUnchangedAndReplant() const
    {
        Tree now = treeOf(dir_.path());
        const Tree inRoot = takeRoot(now);
        require(now == outsideTree_, "nothing outside the root changed");
        replant(inRoot);
    }

    const std::filesystem::path &folder() const { return dir_.path(); }

private:
    // Moves what is inside the root out of a tree of the whole folder.
    static Tree takeRoot(Tree &whole)
    {
        Tree inRoot;
        for (auto e = whole.begin(); e != whole.end();) {
            if (e->first.starts_with("root/"))
                inRoot.emplace(e->first.substr(5), e->second), e = whole.erase(e);
            else
                ++e;
        }
        return inRoot;
    }

    void replant(const Tree &now) const
    {
        namespace fs = std::filesystem;
        if (now == planted_)
            return;
        for (const auto &[name, what] : now) {
            const auto p = planted_.find(name);
            if (p == planted_.end() || p->second != what) {
                std::error_code gone; // already removed with its folder
                fs::remove_all(root / name, gone);
            }
        }
        const Tree left = treeOf(root);
        for (const auto &[name, what] : planted_) // folders before what is in them
            if (!left.count(name))
                create(root / name, what);
    }

    // On this host a link to a folder is made as any other link.
    static void create(const std::filesystem::path &at, const std::string &what)
    {
        if (what == "dir")
            std::filesystem::create_directory(at);
        else if (what.starts_with("file:"))
            std::ofstream(at) << what.substr(5);
        else
            std::filesystem::create_symlink(what.substr(5), at);
    }

    zylos::TempDir dir_;
    Tree planted_, outsideTree_;

public:
    const std::filesystem::path root = dir_.path() / "root";
    const std::filesystem::path outside = dir_.path() / "outside";
};

} // namespace zylos::fuzz
