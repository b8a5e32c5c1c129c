// The loader's checks: which files are refused (status 126, with a one-line
// reason) and that no file, however malformed, crashes the reader.
#include "elf_image.h"
#include "hostile_image.h"
#include "probe.h"

#include <elf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

namespace zylos::test {
namespace {

constexpr uint32_t kCode = 0x08048000, kData = 0x08049000;

// A small valid executable: code that exits with status 7, a bss segment and
// a GNU_STACK header.
struct Image {
    Elf32_Ehdr h = execHeader(kCode, 3);
    Elf32_Phdr ph[3] = {{PT_LOAD, 0x1000, kCode, kCode, 12, 12, PF_R | PF_X, 0x1000},
                        {PT_LOAD, 0x1000, kData, kData, 0, 0x100, PF_R | PF_W, 0x1000},
                        {PT_GNU_STACK, 0, 0, 0, 0, 0, PF_R | PF_W, 16}};
    size_t size = 0x2000;

    std::vector<uint8_t> bytes() const
    {
        static const uint8_t exit7[12] = {0xb8, 2, 0, 0, 0, 0xbb, 7, 0, 0, 0, 0xcd, 0x80};
        std::vector<uint8_t> out(0x2000);
        std::memcpy(out.data(), &h, sizeof h);
        std::memcpy(out.data() + sizeof h, ph, sizeof ph);
        std::memcpy(out.data() + 0x1000, exit7, sizeof exit7);
        out.resize(size);
        return out;
    }
};

struct Case {
    const char *name;
    std::function<void(Image &)> change;
    const char *reason; // empty: the image stays valid
};

class ElfFiles : public ::testing::TestWithParam<Case> {};

TEST_P(ElfFiles, AreRunOrRefusedWithAReason)
{
    static const fs::path dir = tempDir("elf");
    const Case &c = GetParam();
    Image image;
    c.change(image);
    const fs::path path = dir / c.name;
    hostWrite(path, image.bytes());
    const RunResult r = runProgram({path.string()});
    // Both backends load through the same checks and run what they accept.
    if (backendUnavailable(Backend::Native).empty()) {
        const RunResult native = runProgram(withBackend(Backend::Native, {path.string()}));
        EXPECT_EQ(native.status, r.status) << native.err;
        EXPECT_EQ(native.err, r.err);
    }
    if (*c.reason == '\0') {
        EXPECT_EQ(r.status, 7) << r.err;
        return;
    }
    EXPECT_EQ(r.status, 126);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Loader, ElfFiles,
    ::testing::Values(
        Case{"valid", [](Image &) {}, ""},
        Case{"with_note", [](Image &i) { i.ph[2].p_type = PT_NOTE; }, ""},
        Case{"with_property", [](Image &i) { i.ph[2].p_type = PT_GNU_PROPERTY; }, ""},
        Case{"with_empty_load", [](Image &i) { i.ph[2] = {PT_LOAD, 0, 0, 0, 0, 0, PF_R, 0}; }, ""},
        Case{"execute_only", [](Image &i) { i.ph[0].p_flags = PF_X; }, ""},
        Case{"offset_not_congruent", [](Image &i) { i.ph[0].p_vaddr = i.h.e_entry = kCode + 4; }, ""},
        Case{"truncated", [](Image &i) { i.size = 40; }, "too short"},
        Case{"not_elf", [](Image &i) { i.h.e_ident[0] = 0; }, "not an ELF file"},
        Case{"class64", [](Image &i) { i.h.e_ident[EI_CLASS] = ELFCLASS64; }, "32-bit"},
        Case{"big_endian", [](Image &i) { i.h.e_ident[EI_DATA] = ELFDATA2MSB; }, "little-endian"},
        Case{"x86_64", [](Image &i) { i.h.e_machine = EM_X86_64; }, "i386"},
        Case{"shared_object", [](Image &i) { i.h.e_type = ET_DYN; }, "static executable"},
        Case{"no_program_headers", [](Image &i) { i.h.e_phnum = 0; }, "no program headers"},
        Case{"headers_outside_file", [](Image &i) { i.h.e_phoff = 0xFFFFFFF0; }, "outside the file"},
        Case{"odd_header_size", [](Image &i) { i.h.e_phentsize = 56; }, "program header size"},
        Case{"segment_past_end", [](Image &i) { i.ph[0].p_filesz = i.ph[0].p_memsz = 0x10000; }, "past the end"},
        Case{"offset_wraps", [](Image &i) { i.ph[0].p_offset = 0xFFFFFFF0; i.ph[0].p_filesz = i.ph[0].p_memsz = 0x20; },
             "past the end"},
        Case{"file_bytes_exceed_memory", [](Image &i) { i.ph[1].p_filesz = 0x200; }, "more file bytes"},
        Case{"null_page", [](Image &i) { i.ph[0].p_vaddr = 0; i.h.e_entry = 0; }, "outside the user range"},
        Case{"below_4k", [](Image &i) { i.ph[0].p_vaddr = 0x800; i.h.e_entry = 0x800; }, "outside the user range"},
        Case{"kernel_half", [](Image &i) { i.ph[1].p_vaddr = 0xC0000000; }, "outside the user range"},
        Case{"address_wraps", [](Image &i) { i.ph[1].p_vaddr = 0xFFFFF000; i.ph[1].p_memsz = 0x2000; },
             "outside the user range"},
        Case{"over_the_stack", [](Image &i) { i.ph[1].p_vaddr = 0xBFF00000; }, "outside the user range"},
        Case{"overlapping", [](Image &i) { i.ph[1].p_vaddr = kCode; }, "overlap"},
        Case{"sharing_a_page", [](Image &i) { i.ph[1].p_vaddr = kCode + 0x800; }, "share a page"},
        Case{"interpreter", [](Image &i) { i.ph[2].p_type = PT_INTERP; }, "interpreter"},
        Case{"dynamic", [](Image &i) { i.ph[2].p_type = PT_DYNAMIC; }, "dynamic section"},
        Case{"tls", [](Image &i) { i.ph[2].p_type = PT_TLS; }, "unsupported program header"},
        Case{"entry_in_data", [](Image &i) { i.h.e_entry = kData; }, "entry point"},
        Case{"no_load", [](Image &i) { i.ph[0].p_type = i.ph[1].p_type = PT_NULL; }, "no loadable segment"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Random damage to the headers of a real executable (program and section
// headers, symbol table) must end in a result or a BadImage, never a crash.
TEST(ElfReader, SurvivesDamagedFiles)
{
    const std::string file = hostRead(programPath("probe"));
    const std::vector<uint8_t> original(file.begin(), file.end());
    ASSERT_GT(original.size(), 1000u);
    ASSERT_NO_THROW(parseElf(original));
    ASSERT_GT(readSymbols(original).count("probe_add"), 0u);

    uint32_t shoff;
    std::memcpy(&shoff, original.data() + 32, 4);
    std::mt19937 random(12345);
    int refused = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<uint8_t> bytes = original;
        for (int n = 1 + static_cast<int>(random() % 4); n > 0; --n) {
            const size_t at = random() % 2 ? random() % 256 : shoff + random() % (bytes.size() - shoff);
            bytes[at] = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random());
        }
        if (round % 16 == 0)
            bytes.resize(random() % bytes.size());
        try {
            parseElf(bytes);
            readSymbols(bytes);
        } catch (const BadImage &) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 100); // the damage did reach the checks
}

} // namespace
} // namespace zylos::test
