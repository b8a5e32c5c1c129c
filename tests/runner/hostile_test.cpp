// Guests that try to hurt the runner (endless loops, floods, wild jumps,
// privileged instructions, bad pointers, descriptor exhaustion, huge
// images): each is stopped, refused or reported, never a crash, a leaked host
// descriptor or a touched file outside the root. Symlink escapes are in
// kernel_test.cpp, images with thousands of segments in elf_test.cpp.
#include "runner/engines/descriptor_tables.h"
#include "runner/hostile_image.h"
#include "runner/kernel/unique_fd.h"
#include "runner/probe.h"

#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

namespace zylos::test {
namespace {

// Standard input held open after input; standard output counted unless
// told otherwise.
RunResult runCounted(const std::vector<std::string> &argv, Output output = Output::Count,
                     const std::string &input = "")
{
    return runCommand(argv, {input, output, true});
}

// PVM, a KVM for hosts without hardware virtualisation, serves an int 0x1a
// of guest user code itself, and refuses lar, lsl, verr and verw.
bool underPvm() { return fs::exists("/sys/module/kvm_pvm"); }

// Whether reading memory never written costs none: some kernels give every
// such read a page of its own, so the guest's untouched buffer counts.
bool readsOfFreshMemoryAreFree()
{
    constexpr size_t kPages = 16384;
    const auto residentPages = [] {
        std::ifstream statm("/proc/self/statm");
        size_t size = 0, resident = 0;
        statm >> size >> resident;
        return resident;
    };
    void *p = mmap(nullptr, kPages * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return true;
    const size_t before = residentPages();
    unsigned sum = 0;
    for (size_t i = 0; i < kPages; ++i)
        sum += static_cast<const volatile unsigned char *>(p)[i * 4096];
    const size_t after = residentPages(), grew = after > before ? after - before : 0;
    munmap(p, kPages * 4096);
    return sum == 0 && grew < kPages / 2;
}

// Writable pages at 0x1000, the lowest address an image may use (where a
// CPU's reset LDT (base 0) would find descriptors the guest wrote), and
// right after the code's page.
void withWritablePages(ElfParts &parts)
{
    for (const uint32_t at : {0x1000u, HostileImage::kBase + 0x1000})
        parts.ph.push_back({PT_LOAD, 0, at, at, 0, 0x1000, PF_R | PF_W, 0x1000});
    parts.h.e_phnum = static_cast<Elf32_Half>(parts.h.e_phnum + 2);
}

class HostileGuests : public ::testing::Test {
protected:
    TempDir dir{"zylos-hostile"};
};

// write(1, buffer, chunk) count times, then exit(0).
HostileImage flood(uint32_t chunk, uint32_t count)
{
    HostileImage image;
    image.bss(chunk).mov(R::Esi, count);
    const size_t top = image.label();
    image.sys(SYS_WRITE, 1, HostileImage::kBss, chunk).loop(R::Esi, top).exit(0);
    return image;
}

// Sixteen processes of the image saved as path (each spawns it fifteen
// times; the spawns beyond the limit fail), each going on with what follows.
HostileImage sixteenOf(const char *path)
{
    HostileImage image;
    const uint32_t self = image.data(path);
    image.mov(R::Esi, 15);
    const size_t top = image.label();
    image.sys(SYS_SPAWN, self, 0, 0).loop(R::Esi, top);
    return image;
}

HostileImage manyKeyReaders()
{
    HostileImage image = sixteenOf("/many");
    const size_t keys = image.label();
    image.sys(SYS_GETKEY).jmp(keys);
    return image;
}

HostileImage manyWriters()
{
    HostileImage image = sixteenOf("/writers");
    image.bss(1 << 16);
    const size_t top = image.label();
    image.sys(SYS_WRITE, 1, HostileImage::kBss, 1 << 16).jmp(top);
    return image;
}

// Whichever limit comes first stops a guest that spins, makes calls forever,
// waits for a key that never comes (alone, or with other processes that
// share what keys there are) or writes to a reader that stopped reading
// (alone, or with other writers).
TEST_F(HostileGuests, EndlessGuestsStopAtEitherLimit)
{
    HostileImage spin, calls, keys;
    spin.jmp(spin.label());
    calls.sys(999).jmp(0);
    keys.sys(SYS_GETKEY).jmp(0);
    const struct {
        const char *name;
        HostileImage image;
        bool counted;
        Output output;
        // Input that sixteen readers share, left open after it; spawning
        // them takes longer than the usual limit.
        std::string input = "", seconds = "0.3";
    } cases[] = {{"spin", spin, true, Output::Count},
                 {"calls", calls, true, Output::Count},
                 {"keys", keys, false, Output::Count},
                 {"many", manyKeyReaders(), false, Output::Count, std::string(100000, 'k'), "3"},
                 {"flood", flood(1 << 20, 1000000), false, Output::Ignore},
                 {"writers", manyWriters(), false, Output::Trickle, "", "3"}};
    for (const auto &c : cases) {
        const std::string path = c.image.save(dir / c.name);
        if (c.counted) {
            const RunResult insns = runCounted({ZYLOS_RUN_PATH, "--max-insns", "3000000", path});
            EXPECT_EQ(insns.status, 124) << c.name;
            EXPECT_EQ(insns.err, "zylos-run: stopped after 3000000 instructions (--max-insns)\n") << c.name;
        }
        expectTimedOut(runCounted({ZYLOS_RUN_PATH, "--timeout", c.seconds, "--max-insns", "100000000000", "--root",
                                   dir.str(), path},
                                  c.output, c.input),
                       c.name, c.seconds);
    }
}

// The big flood is one write of 2.25 GiB: it moves the most one call may
// (0x7FFFF000 bytes) and returns that count.
TEST_F(HostileGuests, AConsoleFloodIsStreamedInBoundedMemory)
{
    const RunResult small = runCounted({ZYLOS_RUN_PATH, flood(1 << 20, 16).save(dir / "small")});
    const RunResult big = runCounted({ZYLOS_RUN_PATH, "--trace", flood(0x90000000, 1).save(dir / "big")});
    EXPECT_EQ(small.status, 0) << small.err;
    EXPECT_EQ(big.status, 0) << big.err;
    EXPECT_EQ(small.outBytes, uint64_t{16} << 20);
    EXPECT_EQ(big.outBytes, 0x7FFFF000u);
    EXPECT_NE(big.err.find(", 2415919104) = 2147479552\n"), std::string::npos) << big.err;
    // 2 GiB passed through; the runner grew by far less than one chunk per
    // MiB, besides the guest's buffer where reading it takes room.
    const uint64_t buffer = readsOfFreshMemoryAreFree() ? 0 : 0x90000000u / 1024;
    EXPECT_LT(big.maxRssKiB, small.maxRssKiB + buffer + 16 * 1024) << small.maxRssKiB << " KiB, then " << big.maxRssKiB;
}

// Asking for nothing from an input nobody writes is answered at once; a
// runner started without descriptors 0 to 2 keeps its own output out of the
// guest's files.
TEST_F(HostileGuests, EmptyReadsAndClosedStandardDescriptors)
{
    HostileImage reader, opener;
    reader.sys(SYS_READ, 0, HostileImage::kBss, 0).raw({0x89, 0xC3, 0xB8, 2, 0, 0, 0, 0xCD, 0x80}); // exit(eax)
    const uint32_t f = opener.data("/f"), text = opener.data("out");
    opener.sys(SYS_OPEN, f, kWriteOnly | kCreate).sys(SYS_WRITE, 1, text, 3).sys(SYS_WRITE, 2, text, 3).exit(0);
    const std::string readerPath = reader.save(dir / "reader"), openerPath = opener.save(dir / "opener");
    for (const Backend b : {Backend::Emulated, Backend::Native}) {
        if (!backendUnavailable(b).empty())
            continue;
        std::vector<std::string> argv = withBackend(b, {"--timeout", "10", readerPath});
        argv.insert(argv.begin(), ZYLOS_RUN_PATH);
        const RunResult r = runCounted(argv);
        EXPECT_EQ(r.status, 0) << backendName(b) << ": " << r.err;

        argv = withBackend(b, {"--trace", "--root", dir.str(), openerPath});
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-", ZYLOS_RUN_PATH});
        EXPECT_EQ(runCounted(argv).status, 0) << backendName(b);
        EXPECT_EQ(readFile(dir / "f"), "") << backendName(b);
        fs::remove(dir / "f");
    }
}

// Killed or stopped by a signal in the middle of a whole-file write, the
// runner leaves no partial or temporary file in the root.
TEST_F(HostileGuests, ASignalDuringAWholeFileWriteLeavesNothingBehind)
{
    HostileImage writer;
    const uint32_t big = writer.data("/big");
    writer.bss(256u << 20).sys(SYS_WRITEFILE, big, HostileImage::kBss, 256u << 20).jmp(0);
    const std::string path = writer.save(dir / "writer");
    for (const char *signal : {"TERM", "KILL"}) {
        const fs::path root = dir / signal;
        fs::create_directory(root);
        runCounted({"/usr/bin/timeout", "-s", signal, "0.7", ZYLOS_RUN_PATH, "--root", root.string(), path});
        for (const std::string &name : listing(root))
            EXPECT_EQ(name, "big") << signal;
    }
}

// The shipped root is read by every guest and changed by none (the opens
// that would truncate or remove name a file that is not there, and the
// folder to remove holds files, so that a faulty runner damages nothing of
// the build); ZYLOS_ROOT names another root, and --root
// wins over it.
TEST_F(HostileGuests, TheShippedRootIsReadOnlyAndZylosRootChoosesAnother)
{
    HostileImage image;
    const uint32_t file = image.data("/new"), absent = image.data("/absent"), folder = image.data("/new_dir"),
                   drape = image.data("/bin/drape"), bin = image.data("/bin");
    // clang-format off
    image.sys(SYS_WRITEFILE, file, file, 4).sys(SYS_MKDIR, folder).sys(SYS_OPEN, absent, kWriteOnly | kTruncate)
        .sys(SYS_OPEN, file, kWriteOnly | kCreate).sys(SYS_UNLINK, absent).sys(SYS_RMDIR, bin).sys(SYS_ZYLFS_STREAM_BEGIN, file)
        .sys(SYS_OPEN, absent, kTruncate).sys(SYS_OPEN, drape, 0).exit(0);
    // clang-format on
    const std::string path = image.save(dir / "changer");
    const RunResult shipped = runProgram({"--trace", path});
    EXPECT_EQ(shipped.status, 0) << shipped.err;
    EXPECT_EQ(shipped.err, "writefile(\"/new\", \"/new\", 4) = -30\nmkdir(\"/new_dir\") = -30\n"
                           "open(\"/absent\", 0x201, 0x0) = -30\nopen(\"/new\", 0x41, 0x0) = -30\n"
                           "unlink(\"/absent\") = -30\nrmdir(\"/bin\") = -30\nzylfs_stream_begin(\"/new\") = -30\n"
                           "open(\"/absent\", 0x200, 0x0) = -30\n"
                           "open(\"/bin/drape\", 0x0, 0x0) = 3\nexit(0)\n");

    const fs::path chosen = dir / "chosen", given = dir / "given";
    fs::create_directory(chosen);
    fs::create_directory(given);
    setenv("ZYLOS_ROOT", chosen.c_str(), 1);
    const int fromEnvironment = runProgram({path}).status;
    const int fromOption = runProgram({"--root", given.string(), path}).status;
    unsetenv("ZYLOS_ROOT");
    EXPECT_EQ(fromEnvironment, 0);
    EXPECT_EQ(fromOption, 0);
    EXPECT_EQ(readFile(chosen / "new"), "/new");
    EXPECT_EQ(readFile(given / "new"), "/new");
    EXPECT_EQ(listing(chosen), listing(given));
}

// Each misdeed is a fault (139) saying what happened; no instruction leaves
// ring 3 or changes the CPU's set-up, which would let the guest go on.
TEST_F(HostileGuests, WildJumpsAndPrivilegedInstructionsFault)
{
    // A trap is reported after its instruction has run: where is not checked.
    constexpr int kUnchecked = -2;
    const struct {
        const char *name;
        std::vector<uint8_t> code;
        const char *message; // the start of what follows "guest fault: "
        int at;              // where the faulting instruction is in code, -1: at the address named, or kUnchecked
    } misdeeds[] = {
        // clang-format off
        {"jump_unmapped", {0xB8, 0x00, 0x00, 0xAD, 0xDE, 0xFF, 0xE0}, "execution of unmapped address 0xdead0000", -1},
        {"jump_stack", {0xFF, 0xE4}, "execution of non-executable address 0xbff", -1},
        {"jump_above_user", {0xB8, 0x00, 0xF2, 0xFF, 0xFF, 0xFF, 0xE0}, "execution of non-executable address 0xfffff200", -1},
        // where the emulator's way into ring 3 went on after its iret
        {"jump_into_entry_code", {0xB8, 0x01, 0xF2, 0xFF, 0xFF, 0xFF, 0xE0}, "execution of non-executable address 0xfffff201", -1},
        {"jump_bss", {0xB8, 0x00, 0x00, 0x00, 0x10, 0xFF, 0xE0}, "execution of non-executable address 0x10000000", -1},
        // eax = 0x1000; to the code page's last two bytes, zeros (add [eax], al), and on into the writable page after it
        {"run_off_code_page", {0xB8, 0x00, 0x10, 0, 0, 0xB9, 0xFE, 0x8F, 0x04, 0x08, 0xFF, 0xE1}, "execution of non-executable address 0x08049000", -1},
        {"write_above_user", {0xA3, 0x00, 0xF0, 0xFF, 0xFF}, "write to read-only address 0xfffff000", 0},
        // call the next instruction; pop eax; xor eax, eax; mov eax, [eax]
        {"read_after_call", {0xE8, 0, 0, 0, 0, 0x58, 0x31, 0xC0, 0x8B, 0x00}, "read of unmapped address 0x00000000", 8},
        {"write_code", {0xA3, 0x00, 0x80, 0x04, 0x08}, "write to read-only address 0x08048000", 0},
        // push eax; jmp back: the guard page below the stack stops it
        {"stack_overflow", {0x50, 0xEB, 0xFD}, "write to unmapped address 0xbfeff", 0},
        {"divide_by_zero", {0x31, 0xC9, 0xF7, 0xF1}, "divide error", 2}, // xor ecx, ecx; div ecx
        {"cli", {0xFA}, "privileged instruction (cli)", 0}, {"sti", {0xFB}, "privileged instruction (sti)", 0},
        {"hlt", {0xF4}, "privileged instruction (hlt)", 0}, {"in", {0xEC}, "privileged instruction (in)", 0},
        {"out", {0xE6, 0x80}, "privileged instruction (out)", 0},
        {"mov_to_cr0", {0x0F, 0x22, 0xC0}, "privileged instruction (mov to cr)", 0},
        {"mov_from_cr3", {0x0F, 0x20, 0xD8}, "privileged instruction (mov from cr)", 0},
        {"mov_to_dr7", {0x0F, 0x23, 0xF8}, "privileged instruction (mov to dr)", 0},
        {"lgdt", {0x0F, 0x01, 0x15, 0x00, 0x80, 0x04, 0x08}, "privileged instruction (lgdt", 0},
        {"ltr", {0x0F, 0x00, 0xD8}, "privileged instruction (lldt/ltr)", 0},
        {"wrmsr", {0x0F, 0x30}, "privileged instruction (wrmsr)", 0},
        {"rdmsr", {0x0F, 0x32}, "privileged instruction (rdmsr)", 0},
        {"clts", {0x0F, 0x06}, "privileged instruction (clts)", 0},
        {"wbinvd", {0x0F, 0x09}, "privileged instruction (wbinvd)", 0},
        // Ways around int 0x80 to the host kernel: fast calls, and 64-bit code
        // (selector 0x33) that could make them or an int 0x80 of its own.
        {"sysenter", {0x0F, 0x34}, "invalid instruction (sysenter/syscall)", 0},
        {"syscall", {0x0F, 0x05}, "invalid instruction (sysenter/syscall)", 0},
        {"far_jump_64_bit", {0xEA, 0x00, 0x80, 0x04, 0x08, 0x33, 0x00}, "general protection fault", 0},
        // A 64-bit code descriptor written at 0x1000, where a CPU's reset LDT would find selector 0x1007.
        {"far_jump_ldt_64_bit", {0xC7, 0x05, 0x00, 0x10, 0, 0, 0xFF, 0xFF, 0, 0, 0xC7, 0x05, 0x04, 0x10, 0, 0, 0x00, 0xFA, 0xAF, 0x00,
                                 0xEA, 0x00, 0x80, 0x04, 0x08, 0x07, 0x10}, "general protection fault", 20},
        {"far_call_ldt", {0x9A, 0x00, 0x80, 0x04, 0x08, 0x07, 0x00}, "general protection fault", 0},
        {"far_jump_tss", {0xEA, 0x00, 0x80, 0x04, 0x08, 0x28, 0x00}, "general protection fault", 0},
        {"lldt", {0x0F, 0x00, 0xD0}, "privileged instruction (lldt/ltr)", 0},
        {"int3", {0xCC}, "breakpoint (int3)", 0}, {"int_81", {0xCD, 0x81}, "interrupt 0x00000081", 0},
        {"ud2", {0x0F, 0x0B}, "invalid", 0},
        {"ring0_stack", {0xB8, 0x08, 0, 0, 0, 0x8E, 0xD0}, "general protection fault", 5},
        {"far_jump_ring0", {0xEA, 0x00, 0x80, 0x04, 0x08, 0x08, 0x00}, "general protection fault", 0},
        {"iret", {0xCF}, "general protection fault", 0},
        // pushfd; or dword [esp], NT; popfd; iret: a return to the task that called, which there is not
        {"iret_nested_task", {0x9C, 0x81, 0x0C, 0x24, 0x00, 0x40, 0, 0, 0x9D, 0xCF}, "general protection fault", 9},
        {"trap_flag", {0x9C, 0x81, 0x0C, 0x24, 0x00, 0x01, 0, 0, 0x9D, 0x90}, "debug trap", kUnchecked},
        // clang-format on
    };
    const std::regex line("zylos-run: guest fault: (.*) at eip 0x([0-9a-f]{8})\n(  .*\n)+");
    // The report's match (empty when there is none).
    const auto expectFault = [&](const RunResult &r, const std::string &message, const std::string &what) {
        EXPECT_EQ(r.status, 139) << what;
        EXPECT_EQ(r.out, "") << what;
        std::smatch match;
        EXPECT_TRUE(std::regex_match(r.err, match, line)) << what;
        EXPECT_EQ(match.empty() ? "" : match[1].str().substr(0, message.size()), message) << what;
        return match;
    };
    // The emulator finds the faulting instruction by replaying its
    // translated block, counted or not.
    std::vector<std::pair<Backend, std::vector<std::string>>> runs{{Backend::Emulated, {}},
                                                                   {Backend::Emulated, {"--max-insns", "1000000"}}};
    if (backendUnavailable(Backend::Native).empty())
        runs.push_back({Backend::Native, {}});
    for (const auto &m : misdeeds) {
        // Not the first instruction, and followed in the same block by a
        // kernel call that must not be performed.
        HostileImage image;
        const uint32_t after = image.data("after");
        image.raw({0x90}).raw(m.code).sys(SYS_WRITE, 1, after, 5).exit(0);
        const std::string path = image.save(dir / m.name, withWritablePages);
        for (const auto &[b, options] : runs) {
            std::vector<std::string> argv = options;
            argv.push_back(path);
            const RunResult r = runProgram(withBackend(b, argv));
            const std::string what =
                m.name + std::string(" ") + backendName(b) + (options.empty() ? "" : " counted") + ": " + r.err;
            const std::smatch match = expectFault(r, m.message, what);
            if (m.at == kUnchecked || match.empty())
                continue;
            // -1: the address the message names last
            const std::string report = match[1];
            const uint64_t eip = m.at >= 0 ? image.entry() + 1 + static_cast<uint32_t>(m.at)
                                           : std::stoul(report.substr(report.rfind(' ') + 1), nullptr, 16);
            EXPECT_EQ(std::stoul(match[2], nullptr, 16), eip) << what;
        }
    }
    // Every int n but the kernel's, named alike by both backends. (Some
    // hosts' KVM answers an int 0x1a itself, inside the VM: not counted
    // there, see the README.)
    for (uint32_t n = 0; n < 256; ++n) {
        HostileImage image;
        image.raw({0xCD, static_cast<uint8_t>(n)}).exit(0);
        const std::string path = image.save(dir / ("int_" + std::to_string(n)));
        for (const auto &[b, options] : runs)
            if (options.empty() && n != 0x80 && !(n == 0x1A && b == Backend::Native && underPvm()))
                expectFault(runProgram(withBackend(b, {path})), interruptText(n), path + " " + backendName(b));
    }
}

// lar, lsl, verr and verw of every GDT and LDT selector, each result and
// the flags after it stored from at, then written out.
HostileImage descriptorChecks(uint32_t at)
{
    HostileImage image;
    image.mov(R::Edi, at).raw({0xFC}); // cld
    for (uint32_t selector = 3; selector < 0x40; selector += 4)
        for (const uint8_t modrm : {0x02, 0x03, 0xE1, 0xE9}) {
            const bool access = modrm < 4; // lar or lsl, else verr or verw
            image.mov(R::Ecx, selector)
                .mov(R::Eax, 0)
                .raw({0x0F, access ? modrm : uint8_t{0}, access ? uint8_t{0xC1} : modrm});
            image.raw({0xAB, 0x9C, 0x58, 0xAB}); // stosd; pushfd; pop eax; stosd
        }
    return image.sys(SYS_WRITE, 1, at, 16 * 4 * 8).exit(0);
}

// Every engine shows the guest the same machine: code that a kernel call
// rewrote runs as rewritten (nothing translated from the old code outlives
// it); sgdt, sidt, sldt, str and smsw show the descriptor page's tables, a
// null LDT and the same CR0; the descriptor checks find the same
// descriptors; an unmasked x87 exception is a fault.
TEST_F(HostileGuests, EveryEngineShowsTheGuestTheSameMachine)
{
    constexpr uint32_t at = HostileImage::kBss;
    HostileImage registers, x87;
    // sgdt [at]; sidt [at + 6]; sldt [at + 12]; str [at + 14]; smsw [at + 16]
    registers.raw({0x0F, 0x01, 0x05, 0,    0,  0, 0x10, 0x0F, 0x01, 0x0D, 6,    0,  0, 0x10, 0x0F, 0x00, 0x05, 12, 0, 0,
                   0x10, 0x0F, 0x00, 0x0D, 14, 0, 0,    0x10, 0x0F, 0x01, 0x25, 16, 0, 0,    0x10});
    registers.sys(SYS_WRITE, 1, at, 18).exit(0);
    std::string tables(18, '\0');
    const uint32_t idt = kDescriptorPage + kIdtOffset;
    std::memcpy(tables.data(), &kGdtLimit, 2);
    std::memcpy(tables.data() + 2, &kDescriptorPage, 4);
    std::memcpy(tables.data() + 6, &kIdtLimit, 2);
    std::memcpy(tables.data() + 8, &idt, 4);
    std::memcpy(tables.data() + 14, &kTssSelector, 2);
    std::memcpy(tables.data() + 16, &kMachineStatusWord, 2);
    // fldcw [eax], a control word that unmasks division by zero; fld1; fldz; fdivp; fwait
    x87.mov(R::Eax, x87.data("\x7B\x03")).raw({0xD9, 0x28, 0xD9, 0xE8, 0xD9, 0xEE, 0xDE, 0xF9, 0x9B}).exit(0);
    const struct {
        const char *name;
        HostileImage image;
        std::string input;
        std::optional<std::string> out; // nothing: what the emulator wrote
        int status;
        std::string nativeSkipped; // why the native engine cannot run it here
    } rows[] = {
        {"code_rewritten_by_read",
         rewrittenCode([](HostileImage &i) { i.sys(SYS_READ, 0, at, kRewrittenCode.size()); }),
         std::string(kRewrittenCode), "", 13, ""},
        {"machine_registers", registers, "", tables, 0, ""},
        {"descriptor_checks", descriptorChecks(at), "", std::nullopt, 0, underPvm() ? "PVM" : ""},
        {"x87_unmasked_exception", x87, "", "", 139, withoutX87(Backend::Native)},
    };
    for (const auto &row : rows) {
        const std::string path = row.image.save(dir / row.name);
        std::optional<std::string> expected = row.out;
        for (const Backend b : {Backend::Emulated, Backend::Native}) {
            if (!backendUnavailable(b).empty() || (b == Backend::Native && !row.nativeSkipped.empty()))
                continue;
            const RunResult r = runProgram(withBackend(b, {path}), row.input);
            EXPECT_EQ(r.status, row.status) << row.name << " " << backendName(b) << ": " << r.err;
            EXPECT_EQ(r.out, expected.value_or(r.out)) << row.name << " " << backendName(b);
            expected = r.out;
        }
    }
}

TEST_F(HostileGuests, ScarceHostDescriptorsAreAPlainFailure)
{
    // open("/f") 5000 times; exit with the number that succeeded.
    writeFile(dir / "f", "x");
    HostileImage image;
    const uint32_t f = image.data("/f");
    image.mov(R::Esi, 5000).mov(R::Edi, 0);
    const size_t top = image.label();
    image.sys(SYS_OPEN, f)
        .raw({0x85, 0xC0, 0x78, 0x01, 0x47}) // test eax, eax; js +1; inc edi
        .loop(R::Esi, top)
        .mov(R::Eax, 2)
        .raw({0x89, 0xFB, 0xCD, 0x80}); // mov ebx, edi; int 0x80
    const std::string path = image.save(dir / "opener");
    // With few host descriptors the host runs out before the guest's table
    // (64 slots; see ThousandsOfDescriptorsLeakNoHostDescriptor): a plain
    // failure for the guest.
    const RunResult scarce =
        runCounted({"/bin/sh", "-c", "ulimit -n 12 && exec \"$0\" \"$@\"", ZYLOS_RUN_PATH, "--root", dir.str(), path});
    EXPECT_GE(scarce.status, 0) << scarce.err;
    EXPECT_LT(scarce.status, 12) << scarce.err;
    EXPECT_EQ(scarce.err, "");
}

using HostileCalls = ProbeCalls;

// A pointer or length that runs past what the guest owns is -14 before
// anything happens: no byte reaches a file, the console or a stream, no input
// is consumed, nothing is stored and no descriptor is taken.
TEST_F(HostileCalls, BadPointersAndHugeLengthsAreEFAULTAndDoNothing)
{
    writeFile(root / "in", "abc");
    g.setStdin("keys");
    const uint32_t in = static_cast<uint32_t>(k(SYS_OPEN, s("/in"), 0));
    const uint32_t out = static_cast<uint32_t>(k(SYS_OPEN, s("/out"), kWriteOnly | kCreate));
    const uint32_t stream = static_cast<uint32_t>(k(SYS_ZYLFS_STREAM_BEGIN, s("/stream")));
    ASSERT_EQ(k(SYS_MKDIR, s("/abc")), 0);
    ASSERT_EQ(k(SYS_CHDIR, s("/abc")), 0); // getcwd's result is longer than two bytes
    const uint32_t edge = g.allocAtGuard(16), two = g.allocAtGuard(2), unterminated = g.allocAtGuard(3);
    g.write(edge, std::string(16, 'x'));
    g.write(two, "yy");
    g.write(unterminated, "abc");
    const uint32_t unmapped = 0x10, code = g.sym("probe_add"), stackTop = 0xC0000000 - 4;
    const uint32_t systemPage = 0xFFFFF000; // readable by guest code, not guest memory for the kernel
    for (const uint32_t len : {17u, 0x10000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        for (const auto &[name, result] : std::vector<std::pair<const char *, int32_t>>{
                 {"read file", k(SYS_READ, in, edge, len)},
                 {"read console", k(SYS_READ, 0, edge, len)},
                 {"write console", k(SYS_WRITE, 1, edge, len)},
                 {"write file", k(SYS_WRITE, out, edge, len)},
                 {"writefile", k(SYS_WRITEFILE, s("/whole"), edge, len)},
                 {"stream write", k(SYS_ZYLFS_STREAM_WRITE, stream, edge, len)},
                 {"write stack top", k(SYS_WRITE, 1, stackTop, len)},
                 {"write system page", k(SYS_WRITE, 1, systemPage, len)},
                 {"read into system page", k(SYS_READ, in, systemPage, len)}})
            EXPECT_EQ(result, kEFAULT) << name << ", length " << len;
    }
    for (const auto &[name, result] : std::vector<std::pair<const char *, int32_t>>{
             {"write across the top", k(SYS_WRITE, 1, 0xFFFFFFFF, 8)},
             {"write up to the top", k(SYS_WRITE, 1, 0xFFFFFFFC, 8)},
             {"write from unmapped", k(SYS_WRITE, 1, unmapped, 4)},
             {"write of a clamped length", k(SYS_WRITE, 1, s("x"), 0x7FFFFFFF)},
             {"read into unmapped", k(SYS_READ, 0, unmapped, 4)},
             {"read into code", k(SYS_READ, 0, code, 4)},
             {"open unmapped path", k(SYS_OPEN, unmapped, 0)},
             {"open unterminated path", k(SYS_OPEN, unterminated, 0)},
             {"writefile from unmapped", k(SYS_WRITEFILE, s("/f"), unmapped, 4)},
             {"getcwd past the guard", k(SYS_GETCWD, two, 0x7FFFFFFF)},
             {"getcwd into unmapped", k(SYS_GETCWD, unmapped, 100)},
             {"getcwd into code", k(SYS_GETCWD, code, 100)},
             {"pipe past the guard", k(SYS_PIPE, g.allocAtGuard(4))},
             {"pipe into unmapped", k(SYS_PIPE, unmapped)},
             {"pipe into code", k(SYS_PIPE, code)},
             {"stream write from unmapped", k(SYS_ZYLFS_STREAM_WRITE, stream, unmapped, 4)},
             {"mkdir unmapped", k(SYS_MKDIR, unmapped)},
             {"chdir unterminated", k(SYS_CHDIR, unterminated)},
             {"set_background unmapped", k(SYS_SET_BACKGROUND, unmapped)}})
        EXPECT_EQ(result, kEFAULT) << name;
    EXPECT_EQ(k(SYS_GETCWD, g.allocAtGuard(5), 5), 4) << "\"/abc\" and its NUL fill the buffer exactly";

    EXPECT_EQ(g.read(edge, 16), std::vector<uint8_t>(16, 'x'));
    EXPECT_EQ(g.read(two, 2), (std::vector<uint8_t>{'y', 'y'}));
    EXPECT_EQ(readAll(in), "abc");
    EXPECT_EQ(readAll(0), "keys");
    EXPECT_EQ(g.console(), "");
    EXPECT_EQ(k(SYS_DUP, 1), 5); // the failed pipes took no descriptor
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, stream), 0);
    EXPECT_EQ(readFile(root / "stream"), "");
    EXPECT_EQ(readFile(root / "out"), "");
    EXPECT_EQ(listing(root), (std::set<std::string>{"abc", "in", "out", "stream"})); // no temporaries
    EXPECT_TRUE(fs::is_empty(root / "abc"));
}

// A fifo planted in the root is refused without being opened on the host
// (which would release a writer waiting for a reader): no open event is seen.
TEST_F(HostileCalls, FifosInTheRootAreNeverOpened)
{
    const fs::path fifo = root / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(watch.get(), fifo.c_str(), IN_OPEN), 0);
    EXPECT_EQ(k(SYS_OPEN, s("/fifo"), 0), -6);
    EXPECT_EQ(k(SYS_OPEN, s("/fifo"), kWriteOnly), -6);
    EXPECT_EQ(k(SYS_OPEN, s("/fifo"), kWriteOnly | kCreate | kTruncate), -6);
    EXPECT_EQ(k(SYS_SET_BACKGROUND, s("/fifo")), kEINVAL);
    char event[256];
    EXPECT_EQ(read(watch.get(), event, sizeof event), -1);
}

// Streams hold their content until they end; all of them together hold at
// most 256 MiB, so that a guest cannot make the runner hold more.
TEST_F(HostileCalls, OpenStreamsTogetherHoldAtMostOneFilesWorth)
{
    constexpr uint32_t kChunk = 8u << 20;
    const uint32_t chunk = g.alloc(kChunk);
    ASSERT_EQ(k(SYS_MKDIR, s("/gone")), 0);
    const uint32_t big = static_cast<uint32_t>(k(SYS_ZYLFS_STREAM_BEGIN, s("/gone/big")));
    const uint32_t small = static_cast<uint32_t>(k(SYS_ZYLFS_STREAM_BEGIN, s("/small")));
    for (int i = 0; i < 31; ++i)
        ASSERT_EQ(k(SYS_ZYLFS_STREAM_WRITE, big, chunk, kChunk), static_cast<int32_t>(kChunk)) << i;
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, small, chunk, kChunk), static_cast<int32_t>(kChunk));
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, small, chunk, 1), kEFBIG);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, big, chunk, 1), kEFBIG);
    EXPECT_EQ(k(SYS_WRITEFILE, s("/whole"), chunk, kChunk), 0); // whole-file writes are not held
    // Ending a stream gives its share back, even when its file cannot be written.
    fs::remove(root / "gone");
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, big), -2);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_WRITE, small, chunk, 1), 1);
    EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, small), 0);
    EXPECT_EQ(fs::file_size(root / "small"), kChunk + 1);
}

// 64 descriptors (3 for the console) and 16 streams; a full table is -24 and
// creates nothing; replacing or closing a descriptor closes its host file.
TEST_F(HostileCalls, ThousandsOfDescriptorsLeakNoHostDescriptor)
{
    writeFile(root / "f", "x");
    const size_t before = openHostDescriptors();
    const uint32_t path = s("/f"), fds = g.alloc(8);
    for (int round = 0; round < 3; ++round) {
        for (int32_t i = 0; i < 2000; ++i) // the lowest free descriptor while there is one
            ASSERT_EQ(k(SYS_OPEN, path, 0), i < 61 ? i + 3 : kEMFILE) << round << ", open " << i;
        EXPECT_EQ(k(SYS_OPEN, s("/new"), kWriteOnly | kCreate), kEMFILE);
        EXPECT_FALSE(fs::exists(root / "new"));
        EXPECT_EQ(k(SYS_PIPE, fds), kEMFILE);
        EXPECT_EQ(k(SYS_DUP, 1), kEMFILE);
        EXPECT_EQ(openHostDescriptors(), before + 61) << round;
        for (uint32_t fd = 3; fd < 64; ++fd)
            EXPECT_EQ(k(SYS_DUP2, 1, fd), static_cast<int32_t>(fd));
        EXPECT_EQ(openHostDescriptors(), before) << round;
        for (uint32_t fd = 3; fd < 64; ++fd)
            EXPECT_EQ(k(SYS_CLOSE, fd), 0);

        std::vector<uint32_t> handles;
        for (int i = 0; i < 1000; ++i) {
            const int32_t h = k(SYS_ZYLFS_STREAM_BEGIN, path);
            if (h > 0)
                handles.push_back(static_cast<uint32_t>(h));
            else
                EXPECT_EQ(h, kEMFILE);
        }
        EXPECT_EQ(handles.size(), 16u);
        for (uint32_t h : handles)
            EXPECT_EQ(k(SYS_ZYLFS_STREAM_END, h), 0);
        for (int i = 0; i < 500; ++i) {
            ASSERT_EQ(k(SYS_PIPE, fds), 0);
            EXPECT_EQ(k(SYS_CLOSE, g.read32(fds)), 0);
            EXPECT_EQ(k(SYS_CLOSE, g.read32(fds + 4)), 0);
        }
        EXPECT_EQ(openHostDescriptors(), before) << round;
    }
    // Descriptors still open when the guest goes are closed with it.
    ASSERT_GE(k(SYS_OPEN, path, 0), 0);
    EXPECT_EQ(openHostDescriptors(), before + 1);
    g.reset();
    EXPECT_EQ(openHostDescriptors(), before);
}

} // namespace
} // namespace zylos::test
