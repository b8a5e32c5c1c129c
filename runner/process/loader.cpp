#include "runner/process/loader.h"

#include "runner/kernel/layout.h"

#include <cstring>
#include <stdexcept>

namespace zylos {

void loadImage(Engine &m, const ElfImage &image, std::span<const uint8_t> file)
{
    for (const LoadSegment &s : image.segments) {
        const uint64_t base = pageDown(s.vaddr);
        const uint64_t size = pageUp(uint64_t{s.vaddr} + s.memsz) - base;
        uint8_t *host = m.map(static_cast<uint32_t>(base), static_cast<uint32_t>(size), s.perms);
        std::memcpy(host + (s.vaddr - base), file.data() + s.offset, s.filesz);
    }
}

namespace {

// Returns ESP.
uint32_t pushArguments(Engine &m, const std::vector<std::string> &argv)
{
    if (!argumentsFit(argv))
        throw std::length_error("argument list too long");
    const uint64_t vectorBytes = 4 * (argv.size() + 2);
    const uint64_t stringBytes = argumentBytes(argv) - vectorBytes;

    uint32_t str = static_cast<uint32_t>(kUserEnd - stringBytes);
    const uint32_t esp = static_cast<uint32_t>((str - vectorBytes) & ~uint64_t{15});
    std::vector<uint32_t> words{static_cast<uint32_t>(argv.size())};
    for (const std::string &a : argv) {
        words.push_back(str);
        m.write(str, a.c_str(), a.size() + 1);
        str += static_cast<uint32_t>(a.size() + 1);
    }
    words.push_back(0);
    m.write(esp, words.data(), words.size() * 4);
    return esp;
}

} // namespace

void loadAddressSpace(Engine &m, const ElfImage &image, std::span<const uint8_t> file)
{
    loadImage(m, image, file);
    m.map(kStackBase, kStackSize, kPermRead | kPermWrite);
}

void loadProcess(Engine &m, const ElfImage &image, std::span<const uint8_t> file, const std::vector<std::string> &argv)
{
    loadAddressSpace(m, image, file);
    m.setReg(Reg::Esp, pushArguments(m, argv));
}

} // namespace zylos
