#include "sizes.h"

#include "elf32.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zylos::bench {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<Elf32_Phdr> programHeaders(const std::vector<uint8_t> &file, const std::string &path)
{
    try {
        return elf::File(file).programHeaders();
    } catch (const elf::Error &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string flagText(uint32_t flags)
{
    std::string s = flags & PF_R ? "R" : "";
    if (flags & PF_W)
        s += "W";
    if (flags & PF_X)
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
    ImageSize s;
    for (const Elf32_Phdr &p : programHeaders(f, path)) {
        if (p.p_type != PT_LOAD)
            continue;
        s.segments.push_back({flagText(p.p_flags), p.p_filesz, p.p_memsz});
        s.loaded += p.p_filesz;
    }
    s.file = f.size();
    s.stripped = strippedSize(path, strip);
    return s;
}

} // namespace zylos::bench
