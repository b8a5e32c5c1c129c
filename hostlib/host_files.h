// Host files as the host tools, the bench and the tests read and write them,
// and a fresh temporary folder that goes with its owner.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zylos {

// The file's bytes; "" when there is no such file.
inline std::string readFile(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's bytes; throws when it cannot be opened.
inline std::vector<uint8_t> readBytes(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open the file");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes the file, creating its parent folders.
inline void writeFile(const std::filesystem::path &p, std::string_view bytes)
{
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

} // namespace zylos
