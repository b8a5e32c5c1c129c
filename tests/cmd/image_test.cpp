// The layout of the drape executable: what the zylos loader and the shell's
// tools rely on, checked on the built file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLoad = 1, kPage = 4096;
constexpr uint32_t kX = 1, kW = 2, kR = 4;

struct Segment {
    uint32_t type, offset, vaddr, filesz, memsz, flags, align;
};
struct Section {
    std::string name;
    uint32_t type, addr, offset, size, align;
};

class Image {
public:
    explicit Image(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    uint32_t u32(size_t at) const { return at + 4 <= bytes_.size() ? bytes_[at] | bytes_[at + 1] << 8 | bytes_[at + 2] << 16 | uint32_t(bytes_[at + 3]) << 24 : 0; }
    uint16_t u16(size_t at) const { return at + 2 <= bytes_.size() ? uint16_t(bytes_[at] | bytes_[at + 1] << 8) : 0; }

    std::vector<Segment> segments() const
    {
        std::vector<Segment> out;
        for (size_t i = 0; i < u16(44); ++i) {
            const size_t at = u32(28) + i * u16(42);
            out.push_back({u32(at), u32(at + 4), u32(at + 8), u32(at + 16), u32(at + 20), u32(at + 24), u32(at + 28)});
        }
        return out;
    }
    std::vector<Section> sections() const
    {
        std::vector<Section> out;
        const size_t names = u32(u32(32) + u16(50) * u16(46) + 16);
        for (size_t i = 0; i < u16(48); ++i) {
            const size_t at = u32(32) + i * u16(46);
            const char *name = reinterpret_cast<const char *>(bytes_.data() + names + u32(at));
            out.push_back({name, u32(at + 4), u32(at + 12), u32(at + 16), u32(at + 20), u32(at + 32)});
        }
        return out;
    }
    uint32_t symbol(const std::string &wanted) const
    {
        const auto all = sections();
        for (const Section &s : all) {
            if (s.type != 2) // SHT_SYMTAB
                continue;
            const size_t link = u32(u32(32) + (&s - all.data()) * u16(46) + 24);
            const Section &strtab = all[link];
            for (size_t at = s.offset; at + 16 <= s.offset + s.size; at += 16) {
                const char *name = reinterpret_cast<const char *>(bytes_.data() + strtab.offset + u32(at));
                if (wanted == name)
                    return u32(at + 4);
            }
        }
        return 0;
    }

private:
    std::vector<uint8_t> bytes_;
};

class DrapeImage : public ::testing::Test {
protected:
    Image image{ZYLOS_DRAPE_PATH};
};

TEST_F(DrapeImage, IsAStaticI386Executable)
{
    const auto &b = image.bytes();
    ASSERT_GE(b.size(), 52u);
    EXPECT_EQ(std::memcmp(b.data(), "\x7f" "ELF\x01\x01", 6), 0);
    EXPECT_EQ(image.u16(16), 2) << "ET_EXEC";
    EXPECT_EQ(image.u16(18), 3) << "EM_386";
}

TEST_F(DrapeImage, HasExactlyThreePageAlignedLoadSegments)
{
    const auto segs = image.segments();
    ASSERT_EQ(segs.size(), 3u) << "no program header besides the three loads";
    const uint32_t flags[] = {kR | kX, kR, kR | kW};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(segs[i].type, kLoad);
        EXPECT_EQ(segs[i].flags, flags[i]);
        EXPECT_EQ(segs[i].vaddr % kPage, 0u);
        EXPECT_EQ(segs[i].offset % kPage, segs[i].vaddr % kPage);
        EXPECT_GE(segs[i].memsz, segs[i].filesz);
        if (i > 0)
            EXPECT_GE(segs[i].vaddr, segs[i - 1].vaddr + segs[i - 1].memsz);
    }
}

TEST_F(DrapeImage, EntryIsStartAndTheFirstByteOfCode)
{
    const auto segs = image.segments();
    ASSERT_FALSE(segs.empty());
    EXPECT_EQ(image.u32(24), segs[0].vaddr);
    EXPECT_EQ(image.u32(24), image.symbol("_start"));
}

TEST_F(DrapeImage, HeapArenaCostsNoFileSpace)
{
    const auto segs = image.segments();
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_GE(segs[2].memsz - segs[2].filesz, 1048576u);
    const uint32_t heap = image.symbol("g_heap");
    ASSERT_NE(heap, 0u);
    EXPECT_EQ(heap % 8, 0u);
    EXPECT_GE(heap, segs[2].vaddr + segs[2].filesz);
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
    const auto sections = image.sections();
    std::vector<Section> found;
    for (const Section &s : sections)
        if (s.name == rc.section)
            found.push_back(s);
    ASSERT_EQ(found.size(), 1u);
    const Section &s = found[0];
    EXPECT_EQ(s.align, rc.align);
    ASSERT_EQ(s.size, rc.bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(image.bytes().data() + s.offset), s.size), rc.bytes);
    const Segment ro = image.segments().at(1);
    EXPECT_GE(s.addr, ro.vaddr);
    EXPECT_LE(s.addr + s.size, ro.vaddr + ro.filesz);
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, DrapeRecords,
    ::testing::Values(RecordCase{".zylos.cmdmeta", 32,
                                 std::string("ZCMD\x01\0\0\0Set background image for focused tile.\0"
                                             "drape /images/zylos.rei\0\0",
                                             72)},
                      RecordCase{".zylos.pkgmeta", 4, std::string("ZPKG\x01\0\0\0drape\0" "2\0\0", 17)}),
    [](const ::testing::TestParamInfo<RecordCase> &info) { return std::string(info.param.section + 7); });

} // namespace
