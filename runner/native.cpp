#include "native.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace zylos {
namespace {

constexpr uint16_t kUserCode32 = 0x23; // the code selector of a 32-bit task
constexpr uint8_t kInt80[2] = {0xCD, 0x80};
constexpr int kSyscallStop = SIGTRAP | 0x80; // with PTRACE_O_TRACESYSGOOD
constexpr size_t kProbeChunk = 65536;

std::system_error systemError(const std::string &what) { return {errno, std::generic_category(), what}; }

class NativeMemory final : public GuestMemory {
public:
    explicit NativeMemory(pid_t pid) : pid_(pid) {}

    bool read(uint32_t addr, void *out, size_t n) const override { return transfer(addr, out, n, false); }
    bool write(uint32_t addr, const void *in, size_t n) override
    {
        return transfer(addr, const_cast<void *>(in), n, true);
    }

    // Probed by reading, and for writing by writing the same bytes back: the
    // guest is stopped, so nothing changes, and the host kernel checks the
    // page protections exactly as for the guest.
    bool accessible(uint32_t addr, size_t n, bool forWrite) const override
    {
        if (n > (uint64_t{1} << 32) - addr)
            return false;
        std::vector<uint8_t> chunk(std::min(n, kProbeChunk));
        for (size_t done = 0; done < n;) {
            const size_t len = std::min(n - done, chunk.size());
            const uint32_t at = static_cast<uint32_t>(addr + done);
            if (!transfer(at, chunk.data(), len, false) || (forWrite && !transfer(at, chunk.data(), len, true)))
                return false;
            done += len;
        }
        return true;
    }

private:
    bool transfer(uint32_t addr, void *buf, size_t n, bool toGuest) const
    {
        if (n > (uint64_t{1} << 32) - addr)
            return false;
        for (size_t done = 0; done < n;) {
            iovec local{static_cast<uint8_t *>(buf) + done, n - done};
            iovec remote{reinterpret_cast<void *>(uintptr_t{addr} + done), n - done};
            const ssize_t r = toGuest ? ::process_vm_writev(pid_, &local, 1, &remote, 1, 0)
                                      : ::process_vm_readv(pid_, &local, 1, &remote, 1, 0);
            if (r <= 0)
                return false;
            done += static_cast<size_t>(r);
        }
        return true;
    }

    pid_t pid_;
};

// The traced guest process: killed and reaped however the run ends.
class Tracee {
public:
    explicit Tracee(pid_t pid) : pid_(pid) {}
    ~Tracee()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status;
            while (::waitpid(pid_, &status, __WALL) < 0 && errno == EINTR) {
            }
        }
    }
    Tracee(const Tracee &) = delete;
    Tracee &operator=(const Tracee &) = delete;

    pid_t pid() const { return pid_; }
    pid_t release() { return std::exchange(pid_, 0); }

    // The next stop or end of the process, or nothing when the deadline
    // passes first. SIGCHLD is blocked while the guest runs, so waiting for
    // it with a time limit misses no stop.
    std::optional<int> wait(std::optional<Kernel::Clock::time_point> deadline) const
    {
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, __WALL | (deadline ? WNOHANG : 0));
            if (r == pid_)
                return status;
            if (r < 0 && errno != EINTR)
                throw systemError("waiting for the guest");
            if (r != 0)
                continue;
            const auto left = *deadline - Kernel::Clock::now();
            if (left <= Kernel::Clock::duration::zero())
                return std::nullopt;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            sigset_t chld;
            sigemptyset(&chld);
            sigaddset(&chld, SIGCHLD);
            ::sigtimedwait(&chld, nullptr, &ts);
        }
    }

    user_regs_struct regs() const
    {
        user_regs_struct r{};
        if (::ptrace(PTRACE_GETREGS, pid_, nullptr, &r) != 0)
            throw systemError("reading the guest's registers");
        return r;
    }

    void setRegs(const user_regs_struct &r) const
    {
        if (::ptrace(PTRACE_SETREGS, pid_, nullptr, &r) != 0)
            throw systemError("writing the guest's registers");
    }

    void resume(int request) const
    {
        if (::ptrace(static_cast<__ptrace_request>(request), pid_, nullptr, nullptr) != 0)
            throw systemError("resuming the guest");
    }

private:
    pid_t pid_;
};

// SIGCHLD blocked for the lifetime of a run (see Tracee::wait).
class ChildSignalBlock {
public:
    ChildSignalBlock()
    {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        ::sigprocmask(SIG_BLOCK, &chld, &old_);
    }
    ~ChildSignalBlock() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    ChildSignalBlock(const ChildSignalBlock &) = delete;
    ChildSignalBlock &operator=(const ChildSignalBlock &) = delete;

private:
    sigset_t old_;
};

// Linux gives a 32-bit program without a PT_GNU_STACK header executable
// data and stack; a zylos image has no such header, but its pages must keep
// their own permissions. The copy that is executed gets one after the
// existing headers, in the padding before the first segment.
std::vector<uint8_t> withNonExecutableStack(std::span<const uint8_t> file)
{
    std::vector<uint8_t> out(file.begin(), file.end());
    Elf32_Ehdr eh;
    if (out.size() < sizeof eh)
        return out;
    std::memcpy(&eh, out.data(), sizeof eh);
    const uint64_t end = eh.e_phoff + uint64_t{eh.e_phnum} * sizeof(Elf32_Phdr);
    if (eh.e_phentsize != sizeof(Elf32_Phdr) || end + sizeof(Elf32_Phdr) > out.size())
        return out;
    uint64_t firstData = out.size();
    for (uint32_t i = 0; i < eh.e_phnum; ++i) {
        Elf32_Phdr ph;
        std::memcpy(&ph, out.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type == PT_GNU_STACK)
            return out;
        if (ph.p_type == PT_LOAD && ph.p_filesz)
            firstData = std::min<uint64_t>(firstData, ph.p_offset);
    }
    if (end + sizeof(Elf32_Phdr) > firstData ||
        std::any_of(out.begin() + static_cast<long>(end), out.begin() + static_cast<long>(end + sizeof(Elf32_Phdr)),
                    [](uint8_t b) { return b != 0; }))
        return out;
    Elf32_Phdr stack{};
    stack.p_type = PT_GNU_STACK;
    stack.p_flags = PF_R | PF_W;
    std::memcpy(out.data() + end, &stack, sizeof stack);
    ++eh.e_phnum;
    std::memcpy(out.data(), &eh, sizeof eh);
    return out;
}

// Starts the program stopped at its first instruction, traced, killed with
// the runner. The child stops itself before exec so that the options are in
// place before any guest code exists.
pid_t startTraced(std::span<const uint8_t> file, const std::vector<std::string> &argv)
{
    const std::vector<uint8_t> image = withNonExecutableStack(file);
    const int memfd = ::memfd_create("zylos-guest", MFD_CLOEXEC);
    if (memfd < 0)
        throw systemError("creating the guest's executable");
    const UniqueFd exe(memfd);
    for (size_t done = 0; done < image.size();) {
        const ssize_t n = ::write(memfd, image.data() + done, image.size() - done);
        if (n <= 0)
            throw systemError("writing the guest's executable");
        done += static_cast<size_t>(n);
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    char *noEnvironment[] = {nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        throw systemError("creating a pipe");
    const UniqueFd reportRead(report[0]);
    UniqueFd reportWrite(report[1]);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw systemError("starting the guest process");
    if (pid == 0) {
        // Terminal signals go to the runner alone, which ends the guest.
        ::setpgid(0, 0);
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && ::raise(SIGSTOP) == 0)
            ::fexecve(memfd, args.data(), noEnvironment);
        const int err = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(report[1], &err, sizeof err);
        ::_exit(127);
    }
    reportWrite.reset();
    Tracee child(pid);
    std::optional<int> status = child.wait(std::nullopt);
    int err = 0;
    if (!WIFSTOPPED(*status)) {
        if (::read(report[0], &err, sizeof err) == sizeof err)
            throw NativeUnavailable(std::string("the guest process cannot be traced: ") + std::strerror(err));
        throw std::runtime_error("the guest process ended before it started");
    }
    if (::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD) != 0)
        throw systemError("tracing the guest");
    child.resume(PTRACE_CONT);
    status = child.wait(std::nullopt);
    if (WIFSTOPPED(*status) && WSTOPSIG(*status) == SIGTRAP)
        return child.release();
    if (::read(report[0], &err, sizeof err) != sizeof err)
        throw std::runtime_error("the guest process ended before it started");
    if (err == ENOEXEC)
        throw NativeUnavailable("this host cannot run 32-bit x86 programs");
    errno = err;
    throw systemError("starting the guest");
}

// The address range of the vDSO: sysenter returns there, just after an
// int 0x80 of its own.
std::pair<uint64_t, uint64_t> vdsoRange(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("[vdso]") == std::string::npos)
            continue;
        uint64_t from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2)
            return {from, to};
    }
    return {0, 0};
}

Stop faultFromSignal(const Tracee &t, int sig, const GuestMemory &mem)
{
    siginfo_t si{};
    ::ptrace(PTRACE_GETSIGINFO, t.pid(), nullptr, &si);
    const uint32_t eip = static_cast<uint32_t>(t.regs().rip);
    const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
    std::string what;
    switch (sig) {
    case SIGSEGV:
    case SIGBUS:
        if (si.si_code == SI_KERNEL)
            what = privilegedText(mem, eip);
        else if (addr == eip)
            what = "execution of " + std::string(si.si_code == SEGV_MAPERR ? "unmapped" : "non-executable") +
                   " address " + hexAddress(addr);
        else
            what = std::string(si.si_code == SEGV_MAPERR ? "access to unmapped address " : "access to protected address ") +
                   hexAddress(addr);
        break;
    case SIGILL: what = "invalid instruction"; break;
    case SIGFPE: what = "divide error"; break;
    case SIGTRAP: what = "breakpoint (int3)"; break;
    default: what = std::string("signal ") + (sigabbrev_np(sig) ? sigabbrev_np(sig) : std::to_string(sig).c_str());
    }
    const user_regs_struct r = t.regs();
    return {Stop::Fault, {what, sig == SIGSEGV || sig == SIGBUS ? addr : eip, eip, static_cast<uint32_t>(r.rsp),
                          static_cast<uint32_t>(r.rbp)}};
}

// A system call stop that came from an int 0x80 of the 32-bit guest; a
// sysenter (which returns into the vDSO), a syscall, or a switch to 64-bit
// code is no call of the zylos kernel.
bool isInt80(const user_regs_struct &r, const GuestMemory &mem, std::pair<uint64_t, uint64_t> vdso)
{
    uint8_t before[2] = {};
    return r.cs == kUserCode32 && !(r.rip >= vdso.first && r.rip < vdso.second) && r.rip >= 2 &&
           mem.read(static_cast<uint32_t>(r.rip - 2), before, 2) && std::memcmp(before, kInt80, 2) == 0;
}

} // namespace

Stop runNative(std::span<const uint8_t> file, const std::vector<std::string> &argv, Kernel &kernel,
               std::optional<Kernel::Clock::time_point> deadline)
{
    const ChildSignalBlock block;
    const Tracee t(startTraced(file, argv));
    NativeMemory mem(t.pid());
    const auto vdso = vdsoRange(t.pid());
    for (;;) {
        t.resume(PTRACE_SYSEMU);
        const std::optional<int> status = t.wait(deadline);
        if (!status)
            return {Stop::Timeout, {}};
        if (!WIFSTOPPED(*status))
            return {Stop::Fault, {"the guest process ended unexpectedly"}};
        if (WSTOPSIG(*status) != kSyscallStop)
            return faultFromSignal(t, WSTOPSIG(*status), mem);
        user_regs_struct r = t.regs();
        const uint32_t eip = static_cast<uint32_t>(r.rip);
        if (!isInt80(r, mem, vdso))
            return {Stop::Fault, {"invalid instruction (sysenter/syscall)", eip, eip, static_cast<uint32_t>(r.rsp),
                                  static_cast<uint32_t>(r.rbp)}};
        const uint32_t args[3] = {static_cast<uint32_t>(r.rbx), static_cast<uint32_t>(r.rcx),
                                  static_cast<uint32_t>(r.rdx)};
        r.rax = static_cast<uint32_t>(kernel.call(static_cast<uint32_t>(r.orig_rax), args, mem));
        if (kernel.exited())
            return {Stop::Exited, {{}, eip, eip}};
        if (deadline && Kernel::Clock::now() >= *deadline)
            return {Stop::Timeout, {{}, eip, eip}};
        t.setRegs(r);
    }
}

} // namespace zylos
