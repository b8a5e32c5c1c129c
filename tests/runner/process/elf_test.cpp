// The loader's checks: which files are refused (status 126, with a one-line
// reason). That no file, however malformed, crashes the reader is the fuzz
// target's to show (tests/fuzz/elf.cpp).
#include "runner/hostile_image.h"
#include "runner/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace zylos::test {
namespace {

constexpr uint32_t kCode = HostileImage::kBase, kData = HostileImage::kBss;

// A small valid executable: code that exits with status 7, a bss segment and
// a GNU_STACK header, damaged as a case says, saved to path.
std::string saveImage(const fs::path &path, const std::function<void(ElfParts &)> &damage)
{
    return HostileImage().exit(7).save(path, [&](ElfParts &i) {
        i.ph.push_back({PT_GNU_STACK, 0, 0, 0, 0, 0, PF_R | PF_W, 16});
        i.h.e_phnum = 3;
        damage(i);
    });
}

struct Case {
    const char *name;
    std::function<void(ElfParts &)> change;
    const char *reason; // empty: the image stays valid
};

class ElfFiles : public ::testing::TestWithParam<Case> {};

TEST_P(ElfFiles, AreRunOrRefusedWithAReason)
{
    static const TempDir dir{"zylos-elf"};
    const Case &c = GetParam();
    const std::string path = saveImage(dir / c.name, c.change);
    const RunResult r = runProgram({path});
    // Both backends load through the same checks and run what they accept.
    if (backendUnavailable(Backend::Native).empty()) {
        const RunResult native = runProgram(withBackend(Backend::Native, {path}));
        EXPECT_EQ(native.status, r.status) << native.err;
        EXPECT_EQ(native.err, r.err);
    }
    EXPECT_EQ(r.status, *c.reason ? 126 : 7) << r.err;
    if (*c.reason == '\0')
        return;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// More loadable segments above the data, a page apart, up to count headers:
// the CPU emulator would abort the runner after a few thousand mappings.
void addLoads(ElfParts &i, uint16_t count)
{
    for (uint32_t at = kData + 0x10000; i.ph.size() < count; at += 0x2000)
        i.ph.push_back({PT_LOAD, 0, at, at, 0, 0x1000, PF_R | PF_W, 0x1000});
    i.h.e_phnum = count;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Loader, ElfFiles,
    ::testing::Values(
        Case{"valid", [](ElfParts &) {}, ""},
        Case{"with_note", [](ElfParts &i) { i.ph[2].p_type = PT_NOTE; }, ""},
        Case{"with_property", [](ElfParts &i) { i.ph[2].p_type = PT_GNU_PROPERTY; }, ""},
        Case{"with_empty_load", [](ElfParts &i) { i.ph[2] = {PT_LOAD, 0, 0, 0, 0, 0, PF_R, 0}; }, ""},
        Case{"execute_only", [](ElfParts &i) { i.ph[0].p_flags = PF_X; }, ""},
        Case{"offset_not_congruent", [](ElfParts &i) { i.ph[0].p_vaddr += 4; i.h.e_entry += 4; }, ""},
        Case{"truncated", [](ElfParts &i) { i.cut = 40; }, "too short"},
        Case{"not_elf", [](ElfParts &i) { i.h.e_ident[0] = 0; }, "not an ELF file"},
        Case{"class64", [](ElfParts &i) { i.h.e_ident[EI_CLASS] = ELFCLASS64; }, "32-bit"},
        Case{"big_endian", [](ElfParts &i) { i.h.e_ident[EI_DATA] = ELFDATA2MSB; }, "little-endian"},
        Case{"x86_64", [](ElfParts &i) { i.h.e_machine = EM_X86_64; }, "i386"},
        Case{"shared_object", [](ElfParts &i) { i.h.e_type = ET_DYN; }, "static executable"},
        Case{"no_program_headers", [](ElfParts &i) { i.h.e_phnum = 0; }, "no program headers"},
        Case{"headers_outside_file", [](ElfParts &i) { i.h.e_phoff = 0xFFFFFFF0; }, "outside the file"},
        Case{"odd_header_size", [](ElfParts &i) { i.h.e_phentsize = 56; }, "program header size"},
        Case{"segment_past_end", [](ElfParts &i) { i.ph[0].p_filesz = i.ph[0].p_memsz = 0x10000; }, "past the end"},
        Case{"offset_wraps", [](ElfParts &i) { i.ph[0].p_offset = 0xFFFFFFF0; i.ph[0].p_filesz = i.ph[0].p_memsz = 0x20; }, "past the end"},
        Case{"file_bytes_exceed_memory", [](ElfParts &i) { i.ph[1].p_filesz = 2; i.ph[1].p_memsz = 1; }, "more file bytes"},
        Case{"below_4k", [](ElfParts &i) { i.ph[0].p_vaddr = 0x800; i.h.e_entry = 0x800; }, "outside the user range"},
        Case{"kernel_half", [](ElfParts &i) { i.ph[1].p_vaddr = 0xC0000000; }, "outside the user range"},
        Case{"address_wraps", [](ElfParts &i) { i.ph[1].p_vaddr = 0xFFFFF000; i.ph[1].p_memsz = 0x2000; }, "outside the user range"},
        Case{"over_the_stack", [](ElfParts &i) { i.ph[1].p_vaddr = 0xBFF00000; }, "outside the user range"},
        Case{"overlapping", [](ElfParts &i) { i.ph[1].p_vaddr = kCode; }, "overlap"},
        Case{"sharing_a_page", [](ElfParts &i) { i.ph[1].p_vaddr = kCode + 0x800; }, "share a page"},
        Case{"seventeen_loads", [](ElfParts &i) { addLoads(i, 18); }, "more than 16 loadable segments"},
        Case{"five_thousand_loads", [](ElfParts &i) { addLoads(i, 5000); }, "more than 16 loadable segments"},
        Case{"interpreter", [](ElfParts &i) { i.ph[2].p_type = PT_INTERP; }, "interpreter"},
        Case{"dynamic", [](ElfParts &i) { i.ph[2].p_type = PT_DYNAMIC; }, "dynamic section"},
        Case{"tls", [](ElfParts &i) { i.ph[2].p_type = PT_TLS; }, "unsupported program header"},
        Case{"entry_in_data", [](ElfParts &i) { i.h.e_entry = kData; }, "entry point"},
        Case{"entry_past_code", [](ElfParts &i) { i.h.e_entry = i.ph[0].p_vaddr + i.ph[0].p_memsz; }, "entry point"},
        Case{"no_load", [](ElfParts &i) { i.ph[0].p_type = i.ph[1].p_type = PT_NULL; }, "no loadable segment"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });
// clang-format on

} // namespace
} // namespace zylos::test
