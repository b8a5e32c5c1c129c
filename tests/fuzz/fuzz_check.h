// What the fuzz targets share: a failed property is reported and aborts, so
// that libFuzzer keeps the input that broke it; host folders for the targets
// that touch files are made once and removed at exit.
#pragma once

#include <stdlib.h>

#include <cstdio>
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

class TempDir {
public:
    explicit TempDir(const char *what)
    {
        std::string templ = (std::filesystem::temp_directory_path() / (std::string("zylos-fuzz-") + what + "-XXXXXX")).string();
        if (!mkdtemp(templ.data()))
            fail("cannot make a temporary folder");
        path_ = templ;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

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

} // namespace zylos::fuzz
