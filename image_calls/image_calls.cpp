#include "image_calls/image_calls.h"

#include "runner/kernel/layout.h"
#include "runner/process/elf_image.h"
#include "runner/process/loader.h"

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zylos {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kScratchBase = 0xA0000000;
constexpr uint32_t kScratchSize = 16u << 20;
// Calls return here: a page of hlt, where the run stops before executing.
constexpr uint32_t kReturnPage = kScratchBase + kScratchSize + kPageSize;
constexpr uint32_t kGuardBase = kReturnPage + 2 * kPageSize;
constexpr uint32_t kGuardSlotSize = 64u << 10;
constexpr uint32_t kGuardStride = kGuardSlotSize + kPageSize; // an unmapped page after each slot
constexpr size_t kGuardSlots = 128;
// The descriptor table of setGsSegment(), below the scratch area, and
// below it the page of code().
constexpr uint32_t kGdtPage = kScratchBase - 2 * kPageSize;
constexpr uint32_t kCodePage = kGdtPage - 2 * kPageSize;
constexpr uint32_t kDirectionFlag = 0x400;
constexpr uint64_t kDefaultInsnLimit = 1'000'000'000;

} // namespace

Arg::Arg(double v) : Arg(std::bit_cast<unsigned long long>(v)) {}

Arg::Arg(long double v) : count_(3)
{
    static_assert(sizeof v >= 10);
    std::memcpy(words_, &v, 10); // the i386 ABI passes the 80-bit value in 12 bytes
}

Guest::Guest(const std::string &elfPath)
{
    const std::vector<uint8_t> file = readBytes(elfPath);
    const ElfImage image = parseElf(file);
    symbols_ = elf::File(file).symbolValues();
    names_ = Symbolizer(file, image.entry);

    loadAddressSpace(machine_, image, file);
    machine_.save(snapshot_);
    scratch_ = machine_.map(kScratchBase, kScratchSize, kPermRead | kPermWrite);
    std::memset(machine_.map(kReturnPage, kPageSize, kPermRead | kPermExec), 0xF4, kPageSize);
    codePage_ = machine_.map(kCodePage, kPageSize, kPermRead | kPermExec);
    for (size_t i = 0; i < kGuardSlots; ++i)
        guardSlots_.push_back(
            machine_.map(kGuardBase + static_cast<uint32_t>(i) * kGuardStride, kGuardSlotSize, kPermRead | kPermWrite));
    reset();
}

void Guest::reset()
{
    // Scratch memory is zeroed as it is handed out, so only the image's own
    // writable memory and the stack are copied back here.
    machine_.restore(snapshot_);
    scratchUsed_ = 0;
    guardNext_ = 0;
    log_.clear();
    console_ = StringConsole{};
    for (const auto &entry : fs::directory_iterator(tempRoot_.path()))
        fs::remove_all(entry.path());
    root_ = tempRoot_.str();
    task_ = std::make_unique<Task>(RootDir(root_), console_);
    task_->setObserver([this](const CallRecord &c, GuestMemory &) { log_.push_back(c); });
    lastInsns_ = 0;
    insnLimit_ = kDefaultInsnLimit;
}

uint32_t Guest::sym(const std::string &name) const
{
    auto it = symbols_.find(name);
    if (it == symbols_.end())
        throw std::runtime_error("no symbol " + name + " in the guest image");
    return it->second;
}

void Guest::setGsSegment(uint32_t base)
{
    machine_.setGsSegment(kGdtPage, base);
    machine_.saveCpu(snapshot_); // calls keep it
}

void Guest::invoke(const std::string &fn, std::initializer_list<Arg> args)
{
    if (task_->exited())
        throw std::logic_error("the guest has exited; reset() it before calling " + fn);
    const uint32_t entry = sym(fn);
    std::vector<uint32_t> words;
    for (const Arg &a : args)
        words.insert(words.end(), a.words().begin(), a.words().end());
    // The arguments start 16-byte aligned, as the i386 ABI has it at a call.
    uint32_t sp = static_cast<uint32_t>((kUserEnd - 4 * words.size() - 16) & ~uint64_t{15});
    write(sp, words.data(), 4 * words.size());
    sp -= 4;
    write32(sp, kReturnPage);
    machine_.setReg(Reg::Esp, sp);
    machine_.setReg(Reg::Eflags, machine_.reg(Reg::Eflags) & ~kDirectionFlag);
    machine_.emptyFpuStack();

    const uint64_t before = machine_.instructions();
    const Stop s = machine_.run(entry, kReturnPage, *task_, {insnLimit_});
    lastInsns_ = machine_.instructions() - before;
    if (s.kind != Stop::Returned && s.kind != Stop::Exited)
        throw GuestFault(describe(s, fn), s.fault.address, s.fault.eip);
}

std::string Guest::describe(const Stop &s, const std::string &fn) const
{
    const std::string what =
        s.kind == Stop::InsnLimit ? "ran past " + std::to_string(insnLimit_) + " instructions" : s.fault.what;
    const std::string where = names_.describe(s.fault.eip);
    return "guest fault in call of " + fn + ": " + what + " at eip " + hexAddress(s.fault.eip) + " (" +
           (where.empty() ? "no symbol" : where) + ")";
}

uint32_t Guest::call(const std::string &fn, std::initializer_list<Arg> args)
{
    invoke(fn, args);
    return machine_.reg(Reg::Eax);
}

uint64_t Guest::call64(const std::string &fn, std::initializer_list<Arg> args)
{
    invoke(fn, args);
    return uint64_t{machine_.reg(Reg::Edx)} << 32 | machine_.reg(Reg::Eax);
}

std::array<uint8_t, 10> Guest::callF80(const std::string &fn, std::initializer_list<Arg> args)
{
    invoke(fn, args);
    return machine_.st0();
}

long double Guest::callLD(const std::string &fn, std::initializer_list<Arg> args)
{
    const std::array<uint8_t, 10> bits = callF80(fn, args);
    long double v = 0;
    std::memcpy(&v, bits.data(), bits.size());
    return v;
}

bool Guest::exited() const
{
    return task_->exited();
}
int Guest::exitStatus() const
{
    return task_->exitStatus();
}

uint32_t Guest::alloc(size_t n, uint32_t align)
{
    if (align == 0 || (align & (align - 1)) != 0)
        throw std::invalid_argument("alignment must be a power of two");
    const size_t start = (scratchUsed_ + align - 1) & ~size_t{align - 1};
    if (start > kScratchSize || n > kScratchSize - start)
        throw std::length_error("guest scratch memory exhausted");
    std::memset(scratch_ + start, 0, n);
    scratchUsed_ = start + n;
    return kScratchBase + static_cast<uint32_t>(start);
}

uint32_t Guest::str(std::string_view s)
{
    const uint32_t addr = alloc(s.size() + 1);
    write(addr, s);
    return addr;
}

uint32_t Guest::allocAtGuard(size_t n)
{
    if (n > kGuardSlotSize)
        throw std::length_error("allocAtGuard: at most " + std::to_string(kGuardSlotSize) + " bytes");
    const size_t slot = guardNext_++ % kGuardSlots;
    const uint32_t offset = kGuardSlotSize - static_cast<uint32_t>(n);
    std::memset(guardSlots_[slot] + offset, 0, n);
    return kGuardBase + static_cast<uint32_t>(slot) * kGuardStride + offset;
}

uint32_t Guest::strAtGuard(std::string_view s)
{
    const uint32_t addr = allocAtGuard(s.size() + 1);
    write(addr, s); // the NUL is already there
    return addr;
}

// Bytes once written are never changed: the emulator may hold them
// translated.
uint32_t Guest::code(std::span<const uint8_t> instructions)
{
    const std::vector<uint8_t> bytes(instructions.begin(), instructions.end());
    for (const auto &[known, addr] : code_)
        if (known == bytes)
            return addr;
    if (bytes.size() > kPageSize - codeUsed_)
        throw std::length_error("guest code page full");
    std::memcpy(codePage_ + codeUsed_, bytes.data(), bytes.size());
    const uint32_t addr = kCodePage + static_cast<uint32_t>(codeUsed_);
    codeUsed_ += bytes.size();
    code_.emplace_back(bytes, addr);
    return addr;
}

void Guest::write(uint32_t addr, const void *p, size_t n)
{
    if (!machine_.write(addr, p, n))
        throw std::out_of_range("guest write of " + std::to_string(n) + " bytes at " + hexAddress(addr) +
                                " is outside writable memory");
}

void Guest::write(uint32_t addr, std::string_view s)
{
    write(addr, s.data(), s.size());
}

std::vector<uint8_t> Guest::read(uint32_t addr, size_t n) const
{
    std::vector<uint8_t> out(n);
    if (!machine_.read(addr, out.data(), n))
        throw std::out_of_range("guest read of " + std::to_string(n) + " bytes at " + hexAddress(addr) +
                                " is outside mapped memory");
    return out;
}

std::string Guest::readStr(uint32_t addr, size_t max) const
{
    std::string s;
    if (const int r = machine_.readString(addr, max, s))
        throw std::out_of_range("no guest string of at most " + std::to_string(max) + " bytes at " + hexAddress(addr) +
                                (r == -14 ? " (unmapped memory)" : ""));
    return s;
}

uint32_t Guest::read32(uint32_t addr) const
{
    uint32_t v;
    std::memcpy(&v, read(addr, 4).data(), 4);
    return v;
}

void Guest::write32(uint32_t addr, uint32_t v)
{
    write(addr, &v, 4);
}

uint8_t Guest::read8(uint32_t addr) const
{
    return read(addr, 1)[0];
}

void Guest::inject(const std::string &name, int n, int32_t result)
{
    if (n < 0)
        throw std::invalid_argument("inject: n must be 0 (every call) or a 1-based call count");
    task_->inject(name, static_cast<unsigned>(n), result);
}

void Guest::onCall(std::function<std::optional<int32_t>(const CallRecord &, GuestMemoryView &)> f)
{
    task_->setScript(std::move(f));
}

void Guest::setStdin(std::string bytes)
{
    console_.input = std::move(bytes);
    console_.inputPos = 0;
}

void Guest::setRoot(const std::string &hostDir)
{
    task_->setRoot(RootDir(hostDir));
    root_ = hostDir;
}

void Guest::setWriteChunk(size_t n)
{
    task_->setWriteChunk(n);
}

} // namespace zylos
