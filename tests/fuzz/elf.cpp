// The ELF reader and loader on arbitrary bytes: every file is read or loaded,
// or refused with a one-line reason. A loaded file maps its segments and
// nothing else, all of them inside the user range, each with its own
// permissions, its file bytes and zeros after them.
#include "fuzz_check.h"

#include "runner/debug/symbolizer.h"
#include "runner/engines/unicorn.h"
#include "runner/kernel/layout.h"
#include "runner/process/elf_image.h"
#include "runner/process/loader.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

using namespace zylos;
using zylos::fuzz::require;

namespace {

struct Span {
    uint64_t begin, end; // whole pages
};

Span pagesOf(const LoadSegment &s) { return {pageDown(s.vaddr), pageUp(uint64_t{s.vaddr} + s.memsz)}; }

void checkRefusal(const BadImage &e)
{
    const std::string why = e.what();
    require(!why.empty() && why.find('\n') == std::string::npos, "a refusal gives a one-line reason");
}

void checkSegments(const ElfImage &image, size_t fileSize)
{
    uint64_t previousEnd = 0;
    for (const LoadSegment &s : image.segments) {
        const Span pages = pagesOf(s);
        require(pages.begin >= kUserBase && pages.end <= kImageLimit, "segments lie inside the user range");
        require(pages.begin >= previousEnd, "segments are sorted and share no page");
        require(s.memsz > 0 && s.filesz <= s.memsz, "segments have memory for their file bytes");
        require(uint64_t{s.offset} + s.filesz <= fileSize, "file bytes lie inside the file");
        previousEnd = pages.end;
    }
    require(std::any_of(image.segments.begin(), image.segments.end(),
                        [&](const LoadSegment &s) {
                            return (s.perms & kPermExec) && image.entry >= s.vaddr && image.entry - s.vaddr < s.memsz;
                        }),
            "the entry point is in an executable segment");
}

bool zeros(const UnicornEngine &m, uint64_t from, uint64_t to)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(to - from));
    return m.read(static_cast<uint32_t>(from), bytes.data(), bytes.size()) &&
           std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

bool mappedByImage(const ElfImage &image, uint64_t addr)
{
    return std::any_of(image.segments.begin(), image.segments.end(), [&](const LoadSegment &s) {
        const Span pages = pagesOf(s);
        return addr >= pages.begin && addr < pages.end;
    });
}

void checkLoaded(const ElfImage &image, std::span<const uint8_t> file)
{
    UnicornEngine m(UnicornEngine::Options{});
    try {
        loadImage(m, image, file);
    } catch (const std::runtime_error &) {
        return; // the host could not provide the memory: the runner reports it (status 125)
    }
    for (const LoadSegment &s : image.segments) {
        const Span pages = pagesOf(s);
        const size_t size = static_cast<size_t>(pages.end - pages.begin);
        const uint32_t begin = static_cast<uint32_t>(pages.begin);
        require(m.accessible(begin, size, false) == ((s.perms & kPermRead) != 0), "a segment is readable as asked");
        require(m.accessible(begin, size, true) == ((s.perms & kPermWrite) != 0), "a segment is writable as asked");
        for (const uint64_t edge : {pages.begin - 1, pages.end})
            require(mappedByImage(image, edge) || !m.accessible(static_cast<uint32_t>(edge), 1, false),
                    "nothing is mapped next to a segment but another segment");
        if (!(s.perms & kPermRead))
            continue; // its content cannot be looked at
        std::vector<uint8_t> loaded(s.filesz);
        require(m.read(s.vaddr, loaded.data(), loaded.size()) &&
                    std::equal(loaded.begin(), loaded.end(), file.begin() + s.offset),
                "a segment holds its file bytes");
        // Zeros around the file bytes; huge bss is sampled, not read whole.
        const uint64_t fileEnd = uint64_t{s.vaddr} + s.filesz;
        require(zeros(m, pages.begin, s.vaddr), "the page before a segment's bytes is zero");
        require(zeros(m, fileEnd, std::min(pages.end, fileEnd + 0x10000)), "the bss is zero");
        require(zeros(m, std::max(fileEnd, pages.end - kPageSize), pages.end), "the last page is zero");
    }
    for (const uint64_t outside : {uint64_t{0}, uint64_t{kUserBase} - 1, uint64_t{kImageLimit}, uint64_t{kStackBase},
                                   kUserEnd - 1, kUserEnd, uint64_t{0xFFFFF000}, uint64_t{0xFFFFFFFF}})
        require(!m.accessible(static_cast<uint32_t>(outside), 1, false), "nothing is mapped outside the image");
    // A fault report reads names and frame information from the file and the
    // stack from guest memory, both the file's to choose: an unwind ends.
    const Symbolizer symbols(file, image.entry);
    const uint32_t data = image.segments.back().vaddr;
    for (const uint32_t eip : {image.entry, image.segments.front().vaddr})
        require(symbols.unwind({eip, data, data}, m, 16, nullptr).size() <= 16, "an unwind ends");
}

// The reader alone, on every input: what zylos-info and the symbolizer ask of it.
void readEverything(std::span<const uint8_t> file)
{
    try {
        const elf::File elf(file);
        elf.symbols();
        for (const elf::Section &s : elf.sections())
            if (s.header.sh_type != SHT_NOBITS)
                elf.contents(s);
    } catch (const elf::Error &e) {
        checkRefusal(e);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::span<const uint8_t> file(data, size);
    readEverything(file);
    ElfImage image;
    try {
        image = parseElf(file);
    } catch (const BadImage &e) {
        checkRefusal(e);
        return 0;
    }
    checkSegments(image, size);
    checkLoaded(image, file);
    return 0;
}
