#include "runner/process/elf_image.h"

#include "runner/kernel/layout.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace zylos {
namespace {

// Each segment becomes a mapping of the CPU emulator, which slows with every
// mapping and aborts the process after a few thousand; a zylos image has three.
constexpr size_t kMaxLoadSegments = 16;

// Informational program headers that a static image may carry and that need
// no action from the loader.
bool isInformational(uint32_t type)
{
    switch (type) {
    case PT_NULL:
    case PT_NOTE:
    case PT_PHDR:
    case PT_GNU_STACK:
    case PT_GNU_PROPERTY:
    case PT_GNU_EH_FRAME:
    case PT_GNU_RELRO: return true;
    default: return false;
    }
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// The checks beyond the reader's own: a static i386 executable with program headers.
void checkExecutable(const Elf32_Ehdr &h)
{
    if (h.e_ident[EI_VERSION] != EV_CURRENT || h.e_version != EV_CURRENT)
        throw BadImage("unknown ELF version");
    if (h.e_machine != EM_386)
        throw BadImage("not an i386 executable (machine " + std::to_string(h.e_machine) + ")");
    if (h.e_type != ET_EXEC)
        throw BadImage("not a static executable (ELF type " + std::to_string(h.e_type) + ")");
    if (h.e_phnum == 0)
        throw BadImage("no program headers");
}

LoadSegment checkLoad(const Elf32_Phdr &p, size_t index, size_t fileSize)
{
    const std::string which = "segment " + std::to_string(index);
    if (uint64_t{p.p_offset} + p.p_filesz > fileSize)
        throw BadImage(which + " extends past the end of the file");
    if (p.p_filesz > p.p_memsz)
        throw BadImage(which + " has more file bytes than memory bytes");
    const uint64_t end = uint64_t{p.p_vaddr} + p.p_memsz;
    if (p.p_vaddr < kUserBase || end > kImageLimit)
        throw BadImage(which + " at " + hex(p.p_vaddr) + ".." + hex(end) + " is outside the user range " +
                       hex(kUserBase) + ".." + hex(kImageLimit));
    unsigned perms = 0;
    perms |= (p.p_flags & PF_R) ? kPermRead : 0;
    perms |= (p.p_flags & PF_W) ? kPermWrite : 0;
    perms |= (p.p_flags & PF_X) ? kPermExec : 0;
    // A page the CPU may write or execute it can also read, so such a
    // segment is readable under every backend.
    if (perms)
        perms |= kPermRead;
    return {p.p_vaddr, p.p_memsz, p.p_offset, p.p_filesz, perms};
}

// Segments are mapped page by page with their own permissions, so two
// segments must not share a page.
void checkDisjoint(const std::vector<LoadSegment> &segs)
{
    for (size_t i = 1; i < segs.size(); ++i) {
        const LoadSegment &a = segs[i - 1], &b = segs[i];
        if (pageUp(uint64_t{a.vaddr} + a.memsz) > pageDown(b.vaddr))
            throw BadImage("segments at " + hex(a.vaddr) + " and " + hex(b.vaddr) + " overlap or share a page");
    }
}

} // namespace

ElfImage parseElf(std::span<const uint8_t> file)
{
    const elf::File elf(file);
    const Elf32_Ehdr &h = elf.header();
    checkExecutable(h);
    const std::vector<Elf32_Phdr> headers = elf.programHeaders();
    ElfImage image{h.e_entry, {}};
    for (size_t i = 0; i < headers.size(); ++i) {
        const Elf32_Phdr &p = headers[i];
        if (p.p_type == PT_LOAD) {
            if (p.p_memsz == 0)
                continue;
            if (image.segments.size() == kMaxLoadSegments)
                throw BadImage("more than " + std::to_string(kMaxLoadSegments) + " loadable segments");
            image.segments.push_back(checkLoad(p, i, file.size()));
        } else if (p.p_type == PT_INTERP) {
            throw BadImage("dynamically linked (has an interpreter)");
        } else if (p.p_type == PT_DYNAMIC) {
            throw BadImage("dynamically linked (has a dynamic section)");
        } else if (!isInformational(p.p_type)) {
            throw BadImage("unsupported program header type " + hex(p.p_type));
        }
    }
    if (image.segments.empty())
        throw BadImage("no loadable segment");
    std::sort(image.segments.begin(), image.segments.end(),
              [](const LoadSegment &a, const LoadSegment &b) { return a.vaddr < b.vaddr; });
    checkDisjoint(image.segments);
    const bool entryInCode = std::any_of(image.segments.begin(), image.segments.end(), [&](const LoadSegment &s) {
        return (s.perms & kPermExec) && h.e_entry >= s.vaddr && h.e_entry - s.vaddr < s.memsz;
    });
    if (!entryInCode)
        throw BadImage("entry point " + hex(h.e_entry) + " is not in an executable segment");
    return image;
}

} // namespace zylos
