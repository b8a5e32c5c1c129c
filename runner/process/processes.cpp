#include "runner/process/processes.h"

#include "hostlib/whole_file.h"
#include "runner/debug/fault_report.h"
#include "runner/engines/kvm.h"
#include "runner/kernel/layout.h"
#include "runner/process/elf_image.h"
#include "runner/process/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <system_error>

namespace zylos {
namespace {

// A child's report, in one piece so that lines of processes do not mix.
void report(uint32_t id, const std::string &text)
{
    std::cerr << ("zylos-run: [" + std::to_string(id) + "] " + text) << std::flush;
}

} // namespace

Processes::Processes(Kernel &kernel, CpuFactory makeCpu, RunLimits limits)
    : kernel_(kernel), makeCpu_(std::move(makeCpu)), limits_(limits)
{
    kernel_.processes = this;
}

Processes::~Processes()
{
    endAll();
    kernel_.processes = nullptr;
}

void Processes::setFirst(Engine *cpu)
{
    const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
    first_ = cpu;
}

size_t Processes::alive() const
{
    size_t n = 1; // process 1 runs as long as the run does
    for (const auto &[id, p] : table_)
        n += !p.status;
    return n;
}

// Gives back what ended processes hold: their threads, and the statuses
// that no parent can collect any more because the parent has ended too.
void Processes::reap()
{
    const auto ended = [&](uint32_t id) {
        auto it = table_.find(id);
        return id != 1 && (it == table_.end() || it->second.status);
    };
    for (auto it = table_.begin(); it != table_.end();) {
        Process &p = it->second;
        if (p.status && p.thread.joinable())
            p.thread.join(); // it is past its last use of the lock
        it = p.status && ended(p.parent) ? table_.erase(it) : std::next(it);
    }
}

bool Processes::full() const
{
    return alive() >= kMaxAlive || table_.size() >= kMaxUncollected || kernel_.waitRoom.halting();
}

int32_t Processes::spawn(const Task &parent, const std::string &path, const std::vector<std::string> &argv)
{
    std::unique_ptr<Task> task;
    if (int r = parent.makeChild(0, task))
        return r;
    UniqueFd fd;
    if (int r = kernel_.root.openFile(path, O_RDONLY | O_NONBLOCK, 0, fd))
        return r == -ENXIO ? -ENOEXEC : r;
    std::vector<uint8_t> file;
    if (int r = readWholeFile(fd.get(), kMaxFileBytes, file))
        return r == -EFBIG || r == -ENXIO ? -ENOEXEC : r;
    ElfImage image;
    try {
        image = parseElf(file);
    } catch (const BadImage &) {
        return -ENOEXEC;
    }
    {
        const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
        reap();
        if (full())
            return -EAGAIN;
    }
    std::unique_ptr<Engine> cpu;
    try {
        cpu = makeCpu_();
        loadProcess(*cpu, image, file, argv);
    } catch (const NativeUnavailable &) {
        return -EAGAIN; // no VM to be had now
    }
    std::unique_lock<std::mutex> lock(kernel_.waitRoom.mutex);
    if (full())
        return -EAGAIN;
    const uint32_t id = nextId_++;
    task->setId(id);
    Process &p = table_[id];
    p.parent = parent.id();
    p.task = std::move(task);
    p.cpu = std::move(cpu);
    // Set before the child runs: its first traced call already needs the prefix.
    const bool wasMany = many_.exchange(true);
    try {
        p.thread = std::thread(&Processes::runChild, this, id, std::ref(p), image.entry, std::move(file));
    } catch (const std::system_error &) {
        // The host has no thread to give. The child's descriptors close
        // once the lock is released, as closing a pipe end takes it.
        many_ = wasMany;
        auto unborn = table_.extract(id);
        lock.unlock();
        return -EAGAIN;
    }
    return static_cast<int32_t>(id);
}

void Processes::runChild(uint32_t id, Process &p, uint32_t entry, std::vector<uint8_t> file)
{
    int32_t status = 0;
    try {
        const Stop s = p.cpu->run(entry, *p.task, limits_);
        switch (s.kind) {
        case Stop::Exited: status = p.task->exitStatus() & 0xFF; break;
        case Stop::Fault:
            report(id, describeFault(s.fault, Symbolizer(file, entry), p.cpu.get()));
            status = kStatusFault;
            break;
        case Stop::InsnLimit:
        case Stop::Timeout: endRun({s.kind, {}}); break;
        case Stop::Returned:
        case Stop::Paused:
        case Stop::Halted: break;
        }
    } catch (const std::exception &e) {
        endRun({Stop::Fault, "process " + std::to_string(id) + ": " + e.what()});
    }
    // Its descriptors close here, outside the lock, which closing a pipe end takes.
    std::unique_ptr<Engine> cpu;
    {
        const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
        cpu = std::move(p.cpu);
    }
    cpu.reset();
    p.task.reset();
    const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
    p.status = status;
    kernel_.waitRoom.changed();
    ended_.notify_all();
}

int32_t Processes::wait(uint32_t parent, int32_t pid, bool noHang, int32_t &status)
{
    std::unique_lock<std::mutex> lock(kernel_.waitRoom.mutex);
    for (;;) {
        auto chosen = table_.end();
        for (auto it = table_.begin(); it != table_.end(); ++it) {
            if (it->second.parent != parent || (pid != -1 && it->first != static_cast<uint32_t>(pid)))
                continue;
            if (chosen == table_.end() || (it->second.status && !chosen->second.status))
                chosen = it;
        }
        if (chosen == table_.end())
            return -ECHILD;
        if (chosen->second.status) {
            const uint32_t id = chosen->first;
            status = *chosen->second.status;
            // Its thread has nothing left to do but return.
            if (chosen->second.thread.joinable())
                chosen->second.thread.join();
            table_.erase(chosen);
            return static_cast<int32_t>(id);
        }
        if (noHang)
            return 0;
        if (int r = kernel_.waitRoom.wait(lock))
            return r;
    }
}

void Processes::endRun(Ending e)
{
    {
        const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
        if (!ending_)
            ending_ = std::move(e);
        if (first_)
            first_->halt();
    }
    kernel_.waitRoom.halt();
}

std::optional<Processes::Ending> Processes::ending() const
{
    const std::lock_guard<std::mutex> lock(kernel_.waitRoom.mutex);
    return ending_;
}

void Processes::endAll()
{
    kernel_.waitRoom.halt();
    std::unique_lock<std::mutex> lock(kernel_.waitRoom.mutex);
    // A CPU can miss a stop asked for while it is between two stretches of
    // guest code, so it is asked again until its thread is done.
    for (;;) {
        bool running = false;
        for (auto &[id, p] : table_) {
            if (p.cpu) {
                p.cpu->halt();
                running = true;
            }
        }
        if (!running)
            break;
        ended_.wait_for(lock, std::chrono::milliseconds(10));
    }
    // Every thread is past its last use of the lock.
    for (auto &[id, p] : table_)
        while (!p.status)
            ended_.wait(lock);
    lock.unlock();
    for (auto &[id, p] : table_)
        if (p.thread.joinable())
            p.thread.join();
    table_.clear();
}

} // namespace zylos
