// The layout of the drape executable: what the zylos loader and the shell's
// tools rely on, checked on the built file.
#include "elf32.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using zylos::elf::File;

class DrapeImage : public ::testing::Test {
protected:
    const std::vector<uint8_t> bytes = zylos::readBytes(ZYLOS_DRAPE_PATH);
    const File image{bytes};
    const std::vector<Elf32_Phdr> segs = image.programHeaders();
};

TEST_F(DrapeImage, IsAStaticI386Executable)
{
    EXPECT_EQ(image.header().e_type, ET_EXEC);
    EXPECT_EQ(image.header().e_machine, EM_386);
}

TEST_F(DrapeImage, HasExactlyThreePageAlignedLoadSegments)
{
    ASSERT_EQ(segs.size(), 3u) << "no program header besides the three loads";
    const uint32_t flags[] = {PF_R | PF_X, PF_R, PF_R | PF_W};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(segs[i].p_type, PT_LOAD);
        EXPECT_EQ(segs[i].p_flags, flags[i]);
        EXPECT_EQ(segs[i].p_vaddr % 4096, 0u);
        EXPECT_EQ(segs[i].p_offset % 4096, segs[i].p_vaddr % 4096);
        EXPECT_GE(segs[i].p_memsz, segs[i].p_filesz);
        if (i > 0)
            EXPECT_GE(segs[i].p_vaddr, segs[i - 1].p_vaddr + segs[i - 1].p_memsz);
    }
}

TEST_F(DrapeImage, EntryIsStartAndTheFirstByteOfCode)
{
    ASSERT_FALSE(segs.empty());
    EXPECT_EQ(image.header().e_entry, segs[0].p_vaddr);
    EXPECT_EQ(image.header().e_entry, image.symbolValues().at("_start"));
}

TEST_F(DrapeImage, HeapArenaCostsNoFileSpace)
{
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_GE(segs[2].p_memsz - segs[2].p_filesz, 1048576u);
    const uint32_t heap = image.symbolValues().at("g_heap");
    EXPECT_EQ(heap % 8, 0u);
    EXPECT_GE(heap, segs[2].p_vaddr + segs[2].p_filesz);
}

struct RecordCase {
    const char *section;
    uint32_t align;
    std::string bytes;
};

class DrapeRecords : public DrapeImage, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(DrapeRecords, ExactlyOneSectionWithTheExactBytesInTheReadOnlySegment)
{
    const RecordCase &rc = GetParam();
    std::vector<zylos::elf::Section> found;
    for (const zylos::elf::Section &s : image.sections())
        if (s.name == rc.section)
            found.push_back(s);
    ASSERT_EQ(found.size(), 1u);
    const Elf32_Shdr &s = found[0].header;
    EXPECT_EQ(s.sh_addralign, rc.align);
    const auto contents = image.contents(found[0]);
    EXPECT_EQ(std::string(contents.begin(), contents.end()), rc.bytes);
    const Elf32_Phdr ro = segs.at(1);
    EXPECT_GE(s.sh_addr, ro.p_vaddr);
    EXPECT_LE(s.sh_addr + s.sh_size, ro.p_vaddr + ro.p_filesz);
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, DrapeRecords,
    ::testing::Values(RecordCase{".zylos.cmdmeta", 32,
                                 std::string("ZCMD\x01\0\0\0Set background image for focused tile.\0"
                                             "drape /images/zylos.rei\0\0",
                                             72)},
                      // clang-format off
                      RecordCase{".zylos.pkgmeta", 4, std::string("ZPKG\x01\0\0\0drape\0" "2\0\0", 17)}),
    // clang-format on
    [](const ::testing::TestParamInfo<RecordCase> &info) { return std::string(info.param.section + 7); });

} // namespace
