// A fresh host folder for one test (a guest's root, say), removed with it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zylos::test {

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
    std::filesystem::path operator/(const std::string &relative) const { return path_ / relative; }

    // Writes a file below the folder, creating its parent folders.
    void put(const std::string &relative, std::string_view bytes) const
    {
        const auto file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::string get(const std::string &relative) const
    {
        std::ifstream in(path_ / relative, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool exists(const std::string &relative) const { return std::filesystem::exists(path_ / relative); }

private:
    std::filesystem::path path_;
};

} // namespace zylos::test
