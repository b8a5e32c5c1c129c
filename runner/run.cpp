#include "runner/run.h"

#include "hostlib/whole_file.h"
#include "runner/debug/debug_session.h"
#include "runner/debug/gdb_stub.h"
#include "runner/debug/profile_output.h"
#include "runner/debug/profiler.h"
#include "runner/debug/fault_report.h"
#include "runner/engines/kvm.h"
#include "runner/engines/unicorn.h"
#include "runner/kernel/trace.h"
#include "runner/process/loader.h"
#include "runner/process/processes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>

#ifndef ZYLOS_DEFAULT_ROOT
#error "ZYLOS_DEFAULT_ROOT must name the build's root folder"
#endif

namespace zylos {
namespace {

constexpr int kStatusKilled = 128 + 9; // as a process killed by SIGKILL

int fail(int status, const std::string &message)
{
    std::cerr << "zylos-run: " << message << "\n";
    return status;
}

int statusOf(const Stop &s, const Options &o, const Task &task, const Symbolizer &symbols, const GuestMemory *stack)
{
    switch (s.kind) {
    case Stop::Exited: return task.exitStatus() & 0xFF;
    case Stop::InsnLimit:
        return fail(kStatusLimit, "stopped after " + std::to_string(o.maxInsns) + " instructions (--max-insns)");
    case Stop::Timeout: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", o.timeout);
        return fail(kStatusLimit, std::string("stopped after ") + seconds + " seconds (--timeout)");
    }
    case Stop::Returned:
    case Stop::Paused:
    case Stop::Halted:
    case Stop::Fault: break;
    }
    std::cerr << "zylos-run: " << describeFault(s.fault, symbols, stack);
    return kStatusFault;
}

bool writeProfile(const Profiler &profiler, ProfileOutput &output, const std::string &name)
{
    if (int r = output.commit(profiler)) {
        fail(kStatusRunnerError, "--profile " + name + ": " + std::strerror(-r));
        return false;
    }
    std::cerr << "zylos-run: profile of " << profiler.total() << " instructions written to " << name << "\n"
              << profiler.summary(20);
    return true;
}

} // namespace

std::string defaultRoot()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto installed = exe.parent_path() / ".." / "share" / "zylos" / "root";
        if (std::filesystem::is_directory(installed, ec))
            return installed.lexically_normal().string();
    }
    return ZYLOS_DEFAULT_ROOT;
}

int readProgram(const std::string &program, const RootDir &root, std::vector<uint8_t> &out)
{
    UniqueFd fd;
    int r = 0;
    if (program.find('/') != std::string::npos) {
        fd = UniqueFd(::open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        r = fd ? 0 : -errno;
    } else {
        r = root.openFile("/bin/" + program, O_RDONLY | O_NONBLOCK, 0, fd);
    }
    if (r == -ENOENT || r == -ENOTDIR)
        return fail(kStatusNotFound, program + ": program not found");
    if (r == -ENXIO)
        return fail(kStatusBadImage, program + ": not a regular file");
    if (r < 0)
        return fail(kStatusBadImage, program + ": " + std::strerror(-r));
    r = readWholeFile(fd.get(), kMaxFileBytes, out);
    if (r == -ENXIO)
        return fail(kStatusBadImage, program + ": not a regular file");
    if (r == -EFBIG)
        return fail(kStatusBadImage, program + ": too large for a zylos executable");
    if (r < 0)
        return fail(kStatusBadImage, program + ": cannot read: " + std::strerror(-r));
    return 0;
}

namespace {

// --root, else ZYLOS_ROOT from the environment, else the shipped root.
int openRoot(const Options &o, std::optional<RootDir> &root)
{
    const char *fromEnvironment = std::getenv("ZYLOS_ROOT");
    const bool shipped = o.root.empty() && !(fromEnvironment && *fromEnvironment);
    try {
        // The shipped root belongs to every user of the build or install:
        // guests read it but never change it.
        root.emplace(!o.root.empty() ? o.root : shipped ? defaultRoot() : std::string(fromEnvironment), shipped);
    } catch (const std::system_error &e) {
        return fail(kStatusRunnerError, e.what());
    }
    return 0;
}

int readImage(const std::string &program, const RootDir &root, std::vector<uint8_t> &file, ElfImage &image)
{
    if (int status = readProgram(program, root, file))
        return status;
    try {
        image = parseElf(file);
    } catch (const BadImage &e) {
        return fail(kStatusBadImage, program + ": not a zylos executable: " + e.what());
    }
    return 0;
}

// The settings of the options on the kernel and on process 1; the time
// limit counts from here.
void configure(const Options &o, Kernel &kernel, HostConsole &console, Task &task)
{
    kernel.writeChunk = o.writeChunk;
    for (const Injection &i : o.injections)
        task.inject(i.name, i.nth, i.result);
    const Deadline deadline = o.timeout > 0 ? Deadline::after(o.timeout) : Deadline();
    kernel.waitRoom.setDeadline(deadline);
    console.deadline = deadline;
    console.cancelFd = kernel.waitRoom.haltFd();
}

Processes::CpuFactory engineMaker(const Options &o)
{
    const bool counting = o.count || o.maxInsns || !o.profile.empty();
    return [native = o.native, counting, stepping = o.gdbPort != 0]() -> std::unique_ptr<Engine> {
        if (native)
            return std::make_unique<KvmEngine>();
        return std::make_unique<UnicornEngine>(UnicornEngine::Options{.counting = counting, .stepping = stepping});
    };
}

void traceCalls(Task &task, const Processes &processes)
{
    task.setObserver([&processes](const CallRecord &c, GuestMemory &mem) {
        const std::string id = processes.many() ? "[" + std::to_string(c.process) + "] " : "";
        std::cerr << (id + formatCall(c, mem) + "\n") << std::flush;
    });
}

int listenIfAsked(const Options &o, UniqueFd &listener)
{
    if (!o.gdbPort)
        return 0;
    std::string error;
    listener = UniqueFd(listenForGdb(o.gdbPort, error));
    if (!listener)
        return fail(kStatusRunnerError, "--gdb: " + error);
    std::cerr << "zylos-run: waiting for gdb on 127.0.0.1:" << o.gdbPort << "\n";
    return 0;
}

// The runner's status once process 1 has stopped, its children with it.
int statusAtEnd(Stop stop, const Options &o, const Processes &processes, const Task &task, const Symbolizer &symbols,
                const Engine &cpu)
{
    if (stop.kind == Stop::Halted) {
        const auto ending = processes.ending();
        if (!ending || !ending->error.empty())
            return fail(kStatusRunnerError, ending ? ending->error : "the run was stopped");
        stop.kind = ending->kind;
    }
    return statusOf(stop, o, task, symbols, &cpu);
}

} // namespace

int runGuest(const Options &o)
{
    std::optional<RootDir> root;
    std::vector<uint8_t> file;
    ElfImage image;
    if (int status = openRoot(o, root))
        return status;
    if (int status = readImage(o.command.front(), *root, file, image))
        return status;
    const Symbolizer symbols(file, image.entry);
    HostConsole console;
    Kernel kernel(std::move(*root), console);
    Task task(kernel, 1);
    configure(o, kernel, console, task);
    std::atomic<uint64_t> spent = 0;
    const RunLimits limits{o.maxInsns, &spent};
    const Processes::CpuFactory makeCpu = engineMaker(o);
    std::unique_ptr<Engine> cpu;
    try {
        cpu = makeCpu();
    } catch (const NativeUnavailable &e) {
        return fail(kStatusRunnerError, "--native is not available on this host: " + std::string(e.what()));
    }
    UnicornEngine *emulated = o.native ? nullptr : static_cast<UnicornEngine *>(cpu.get());
    // Children run until process 1 has ended; they go before its kernel does.
    Processes processes(kernel, makeCpu, limits);
    processes.setFirst(cpu.get());
    if (o.trace)
        traceCalls(task, processes);
    UniqueFd listener;
    if (int status = listenIfAsked(o, listener))
        return status;
    try {
        loadProcess(*cpu, image, file, o.command);
    } catch (const std::length_error &e) {
        return fail(kStatusRunnerError, e.what());
    }
    // Only a run that starts touches the profile's file.
    ProfileOutput profileOutput;
    Profiler profiler(symbols);
    if (!o.profile.empty()) {
        if (int r = profileOutput.prepare(o.profile))
            return fail(kStatusRunnerError, "--profile " + o.profile + ": " + std::strerror(-r));
        emulated->profileWith(&profiler);
    }
    std::optional<Stop> stop = listener ? runUnderGdb(*emulated, task, limits, image.entry, listener.release())
                                        : cpu->run(image.entry, task, limits);
    if (!stop)
        return fail(kStatusKilled, "the debugger killed the guest");
    // The run ends with process 1, and so do its children.
    processes.endAll();
    if (o.count && emulated)
        std::cerr << "zylos-run: " << spent.load() << " instructions\n";
    if (!o.profile.empty() && !writeProfile(profiler, profileOutput, o.profile))
        return kStatusRunnerError;
    return statusAtEnd(*stop, o, processes, task, symbols, *cpu);
}

} // namespace zylos
