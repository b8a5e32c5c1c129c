#include "sizes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zylos::bench {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPfX = 1, kPfW = 2, kPfR = 4;

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t word(const std::vector<uint8_t> &f, uint64_t at)
{
    if (at + 4 > f.size())
        throw std::runtime_error("truncated ELF file");
    uint32_t v;
    std::memcpy(&v, f.data() + at, 4);
    return v;
}

uint16_t half(const std::vector<uint8_t> &f, uint64_t at) { return static_cast<uint16_t>(word(f, at) & 0xFFFF); }

std::string flagText(uint32_t flags)
{
    std::string s = flags & kPfR ? "R" : "";
    if (flags & kPfW)
        s += "W";
    if (flags & kPfX)
        s += " E";
    return s;
}

uint64_t strippedSize(const std::string &path, const std::string &strip)
{
    const fs::path out = fs::temp_directory_path() / ("zylos-bench-strip-" + std::to_string(::getpid()));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp(strip.c_str(), strip.c_str(), "-o", out.c_str(), path.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(strip + " failed on " + path);
    const uint64_t size = fs::file_size(out);
    fs::remove(out);
    return size;
}

} // namespace

ImageSize measureImage(const std::string &path, const std::string &strip)
{
    const std::vector<uint8_t> f = readFile(path);
    if (f.size() < 52 || std::memcmp(f.data(), "\x7f" "ELF\x01", 5) != 0)
        throw std::runtime_error(path + ": not an ELF32 file");
    ImageSize s;
    const uint32_t phoff = word(f, 28);
    const uint16_t phentsize = half(f, 42), phnum = half(f, 44);
    for (uint32_t i = 0; i < phnum; ++i) {
        const uint64_t ph = uint64_t{phoff} + uint64_t{i} * phentsize;
        if (word(f, ph) != kPtLoad)
            continue;
        s.segments.push_back({flagText(word(f, ph + 24)), word(f, ph + 16), word(f, ph + 20)});
        s.loaded += s.segments.back().filesz;
    }
    s.file = f.size();
    s.stripped = strippedSize(path, strip);
    return s;
}

} // namespace zylos::bench
