// drape end to end in the runner (console bytes, exit status and the kernel
// calls it makes), and the layout of its executable: what the zylos loader and
// the shell's tools rely on, checked on the built file.
#include "harness/guest.h"
#include "hostlib/elf32.h"
#include "zylos/syscalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zylos::test {
namespace {

const std::string kUsage = "Usage: drape <rei_file>\n";
const std::string kMissing = "drape: missing image path\n" + kUsage;

std::string failure_line(const std::string &path) { return "drape: failed to set background from: " + path + "\n"; }

using Drape = EachBackend;

// Each row runs drape traced, with the runner options given, and counts its
// attempts to set the background. (How its output is cut into write requests
// is the formatter's own test.)
TEST_P(Drape, PrintsAndExitsAsDocumented)
{
    const std::string image = "/images/zylos.rei";
    // clang-format off
    const struct { std::vector<std::string> args, options; std::string out; int status; size_t backgrounds; }
    rows[] = {
        {{image}, {}, "", 0, 1},
        {{image, "more", "-h"}, {}, "", 0, 1},
        {{"/images/none.rei"}, {}, failure_line("/images/none.rei"), 1, 1},
        {{image}, {"--inject", "set_background=-1"}, failure_line(image), 1, 1},
        {{image}, {"--inject", "set_background=5"}, failure_line(image), 1, 1},
        {{"-h"}, {}, kUsage, 0, 0},
        {{"-h", "extra"}, {}, kUsage, 0, 0},
        {{"-h"}, {"--inject", "write=-5"}, "", 0, 0}, // output failures leave the status alone
        {{"--help"}, {}, failure_line("--help"), 1, 1},
        {{"-help"}, {}, failure_line("-help"), 1, 1},
        {{"-H"}, {}, failure_line("-H"), 1, 1},
        {{}, {}, kMissing, 1, 0},
        {{""}, {}, kMissing, 1, 0},
        {{"", image}, {}, kMissing, 1, 0}};
    // clang-format on
    for (const auto &row : rows) {
        std::vector<std::string> argv = row.options;
        argv.insert(argv.begin(), "--trace");
        argv.push_back("drape");
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const RunResult r = run(argv);
        SCOPED_TRACE(testing::Message() << "drape " << ::testing::PrintToString(row.args) << " " << r.err);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.status, row.status);
        const std::vector<std::string> trace = lines(r.err);
        const auto background = [](const std::string &l) { return l.starts_with("set_background("); };
        EXPECT_EQ(size_t(std::count_if(trace.begin(), trace.end(), background)), row.backgrounds);
    }
}

ZYLOS_ON_EACH_BACKEND(Drape);

// main called directly with the arguments "drape" and arg1.
uint32_t callMain(Guest &g, uint32_t arg1)
{
    const uint32_t argv = g.alloc(12);
    g.write32(argv, g.str("drape"));
    g.write32(argv + 4, arg1);
    g.write32(argv + 8, 0);
    return g.call("main", {2, argv});
}

TEST(DrapeMain, NullFirstArgumentIsAMissingPathAndAPathGoesUnchangedToTheKernel)
{
    Guest &g = drapeGuest();
    EXPECT_EQ(callMain(g, 0), 1u);
    EXPECT_EQ(g.console(), kMissing);
    g.reset();
    const uint32_t path = g.str("relative/../odd path.rei");
    g.inject("set_background", 0, 0);
    EXPECT_EQ(callMain(g, path), 0u);
    ASSERT_EQ(g.calls().size(), 1u);
    EXPECT_EQ(g.calls()[0].nr, uint32_t{SYS_SET_BACKGROUND});
    EXPECT_EQ(g.calls()[0].args[0], path);
    EXPECT_EQ(g.console(), "");
}

class DrapeImage : public ::testing::Test {
protected:
    const std::vector<uint8_t> bytes = zylos::readBytes(ZYLOS_DRAPE_PATH);
    const elf::File image{bytes};
    const std::vector<Elf32_Phdr> segs = image.programHeaders();
};

// Three loads, code first, whose entry, _start, is the first byte of code,
// and whose heap arena costs no file space. (Type, machine, sizes and
// overlaps are the loader's to refuse, and every run of drape passes it.)
TEST_F(DrapeImage, HasExactlyThreePageAlignedLoadSegments)
{
    ASSERT_EQ(segs.size(), 3u) << "no program header besides the three loads";
    const uint32_t flags[] = {PF_R | PF_X, PF_R, PF_R | PF_W};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(segs[i].p_type, PT_LOAD);
        EXPECT_EQ(segs[i].p_flags, flags[i]);
        EXPECT_EQ(segs[i].p_vaddr % 4096, 0u);
        EXPECT_EQ(segs[i].p_offset % 4096, 0u);
    }
    EXPECT_EQ(image.header().e_entry, segs[0].p_vaddr);
    EXPECT_EQ(image.header().e_entry, image.symbolValues().at("_start"));
    EXPECT_GE(segs[2].p_memsz - segs[2].p_filesz, 1048576u);
    const uint32_t heap = image.symbolValues().at("g_heap");
    EXPECT_EQ(heap % 8, 0u);
    EXPECT_GE(heap, segs[2].p_vaddr + segs[2].p_filesz);
}

// One section for each record (the linker merges sections of one name), with
// the exact bytes, inside the read-only segment.
TEST_F(DrapeImage, RecordsSitInTheReadOnlySegment)
{
    // clang-format off
    const struct { const char *section; uint32_t align; std::string bytes; } records[] = {
        {".zylos.cmdmeta", 32,
         std::string("ZCMD\x01\0\0\0Set background image for focused tile.\0drape /images/zylos.rei\0\0", 72)},
        {".zylos.pkgmeta", 4, std::string("ZPKG\x01\0\0\0drape\0" "2\0\0", 17)}};
    // clang-format on
    ASSERT_EQ(segs.size(), 3u);
    for (const auto &record : records) {
        SCOPED_TRACE(record.section);
        const std::optional<elf::Section> found = image.section(record.section);
        ASSERT_TRUE(found);
        const Elf32_Shdr &s = found->header;
        EXPECT_EQ(s.sh_addralign, record.align);
        const auto contents = image.contents(*found);
        EXPECT_EQ(std::string(contents.begin(), contents.end()), record.bytes);
        EXPECT_GE(s.sh_addr, segs[1].p_vaddr);
        EXPECT_LE(s.sh_addr + s.sh_size, segs[1].p_vaddr + segs[1].p_filesz);
    }
}

} // namespace
} // namespace zylos::test
