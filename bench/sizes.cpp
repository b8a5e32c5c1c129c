#include "sizes.h"

#include "hostlib/command.h"
#include "hostlib/elf32.h"
#include "hostlib/host_files.h"

#include <filesystem>
#include <stdexcept>

namespace zylos::bench {
namespace {

namespace fs = std::filesystem;

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
    const TempDir dir("zylos-bench-strip");
    const fs::path out = dir / "stripped";
    const RunResult r = runCommand({strip, "-o", out.string(), path});
    if (r.status != 0)
        throw std::runtime_error(strip + " failed on " + path + ": " + r.err);
    return fs::file_size(out);
}

} // namespace

ImageSize measureImage(const std::string &path, const std::string &strip)
{
    std::vector<uint8_t> f;
    std::vector<Elf32_Phdr> headers;
    try {
        f = readBytes(path);
        headers = elf::File(f).programHeaders();
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    ImageSize s;
    for (const Elf32_Phdr &p : headers) {
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
