// Host files for the tests: one reader, one writer, a folder's names, the
// open descriptors, and a fresh folder for one test (a guest's root, say),
// removed with it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zylos::test {

// The file's bytes; "" when there is no such file.
inline std::string readFile(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> readBytes(const std::filesystem::path &p)
{
    const std::string s = readFile(p);
    return {s.begin(), s.end()};
}

// Writes the file, creating its parent folders.
inline void writeFile(const std::filesystem::path &p, std::string_view bytes)
{
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::set<std::string> listing(const std::filesystem::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

inline size_t openHostDescriptors()
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class TempDir {
public:
    explicit TempDir(const std::string &prefix = "zylos-test")
    {
        std::string templ = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed for " + templ);
        path_ = templ;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    operator const std::filesystem::path &() const { return path_; }
    std::filesystem::path operator/(const std::string &relative) const { return path_ / relative; }

    void put(const std::string &relative, std::string_view bytes) const { writeFile(path_ / relative, bytes); }
    std::string get(const std::string &relative) const { return readFile(path_ / relative); }
    bool exists(const std::string &relative) const { return std::filesystem::exists(path_ / relative); }

private:
    std::filesystem::path path_;
};

} // namespace zylos::test
