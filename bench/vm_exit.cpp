#include "vm_exit.h"

#include <fcntl.h>
#include <linux/kvm.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace zylos::bench {
namespace {

// Guest physical layout: GDT, the four page-table levels mapping the first
// 2 MiB one to one, then a page of port writes that jumps back to itself.
constexpr uint64_t kGdt = 0x0, kPml4 = 0x1000, kPdpt = 0x2000, kPd = 0x3000, kPt = 0x4000, kCode = 0x8000;
constexpr uint64_t kMemSize = 0x10000;
constexpr uint16_t kPort = 0x81;

class Fd {
public:
    explicit Fd(int fd, const char *what) : fd_(fd)
    {
        if (fd < 0)
            throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void check(int r, const char *what)
{
    if (r < 0)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

} // namespace

double vmExitMicros(int exits)
{
    const Fd kvm(::open("/dev/kvm", O_RDWR | O_CLOEXEC), "/dev/kvm");
    const Fd vm(::ioctl(kvm.get(), KVM_CREATE_VM, 0), "creating a VM");
    void *mem = ::mmap(nullptr, kMemSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED)
        throw std::runtime_error("no memory");
    auto *bytes = static_cast<uint8_t *>(mem);
    const kvm_userspace_memory_region slot{0, 0, 0, kMemSize, reinterpret_cast<uint64_t>(mem)};
    check(::ioctl(vm.get(), KVM_SET_USER_MEMORY_REGION, &slot), "guest memory");
    const Fd vcpu(::ioctl(vm.get(), KVM_CREATE_VCPU, 0), "creating a vCPU");
    const int runSize = ::ioctl(kvm.get(), KVM_GET_VCPU_MMAP_SIZE, 0);
    void *runPage = ::mmap(nullptr, static_cast<size_t>(runSize), PROT_READ | PROT_WRITE, MAP_SHARED, vcpu.get(), 0);
    if (runPage == MAP_FAILED)
        throw std::runtime_error("cannot map the vCPU");
    auto *run = static_cast<kvm_run *>(runPage);
    std::vector<uint8_t> cpuid(sizeof(kvm_cpuid2) + 256 * sizeof(kvm_cpuid_entry2));
    auto *entries = reinterpret_cast<kvm_cpuid2 *>(cpuid.data());
    entries->nent = 256;
    if (::ioctl(kvm.get(), KVM_GET_SUPPORTED_CPUID, entries) == 0)
        check(::ioctl(vcpu.get(), KVM_SET_CPUID2, entries), "vCPU features");

    const uint64_t gdt[] = {0, 0x00AF9B000000FFFF, 0x00CF93000000FFFF};
    std::memcpy(bytes + kGdt, gdt, sizeof gdt);
    auto table = [&](uint64_t at) { return reinterpret_cast<uint64_t *>(bytes + at); };
    table(kPml4)[0] = kPdpt | 3;
    table(kPdpt)[0] = kPd | 3;
    table(kPd)[0] = kPt | 3;
    for (uint64_t i = 0; i < 512; ++i)
        table(kPt)[i] = i << 12 | 3;
    for (uint64_t i = 0; i < 0x1000; i += 2) {
        bytes[kCode + i] = 0xE6; // out kPort, al
        bytes[kCode + i + 1] = kPort;
    }
    const int32_t back = -static_cast<int32_t>(0x1000 + 5);
    bytes[kCode + 0x1000] = 0xE9; // jmp kCode
    std::memcpy(bytes + kCode + 0x1001, &back, 4);

    kvm_sregs s{};
    check(::ioctl(vcpu.get(), KVM_GET_SREGS, &s), "vCPU state");
    s.cs = {0, 0xFFFFFFFF, 0x08, 0xB, 1, 0, 0, 1, 1, 1, 0, 0, 0};
    s.ds = s.es = s.ss = {0, 0xFFFFFFFF, 0x10, 0x3, 1, 0, 1, 1, 0, 1, 0, 0, 0};
    s.gdt = {kGdt, sizeof gdt - 1, {}};
    s.cr0 = 0x80000033;
    s.cr3 = kPml4;
    s.cr4 = 0x20;
    s.efer = 0x500; // LMA, LME
    check(::ioctl(vcpu.get(), KVM_SET_SREGS, &s), "64-bit mode");
    kvm_regs r{};
    r.rip = kCode;
    r.rflags = 2;
    check(::ioctl(vcpu.get(), KVM_SET_REGS, &r), "registers");

    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < exits; ++n) {
        check(::ioctl(vcpu.get(), KVM_RUN, 0), "running the vCPU");
        if (run->exit_reason != KVM_EXIT_IO || run->io.port != kPort)
            throw std::runtime_error("unexpected exit " + std::to_string(run->exit_reason));
    }
    const double micros = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    ::munmap(runPage, static_cast<size_t>(runSize));
    ::munmap(mem, kMemSize);
    return micros / exits;
}

} // namespace zylos::bench
