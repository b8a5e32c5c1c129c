// The processes of a run. Process 1 is the program zylos-run started and
// runs on the runner's own thread; every child spawns on a host thread of its
// own with a CPU and memory of its own (an emulated CPU, or a VM with
// --native) and a kernel made from its parent's, so that processes joined by
// a pipe run side by side.
#pragma once

#include "runner/engines/engine.h"
#include "runner/kernel/task.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zylos {

class Processes final : public ProcessHost {
public:
    static constexpr size_t kMaxAlive = 16;
    // Children ended but not yet collected by a parent that still runs:
    // beyond this many a spawn is refused like one over kMaxAlive.
    static constexpr size_t kMaxUncollected = 1024;
    using CpuFactory = std::function<std::unique_ptr<Engine>()>;
    // How a run ends early because of a child: a limit reached there, or
    // the runner failing on its behalf.
    struct Ending {
        Stop::Kind kind;
        std::string error; // for a runner error
    };

    Processes(Kernel &kernel, CpuFactory makeCpu, RunLimits limits);
    // Ends the run for every child still running.
    ~Processes();
    Processes(const Processes &) = delete;
    Processes &operator=(const Processes &) = delete;

    // Process 1's CPU, to be stopped when a child ends the run.
    void setFirst(Engine *cpu);
    // Starts the executable at path (a guest path) as a child of parent with
    // argv: its id, or -2, -8 (not a zylos executable), -9 (a stdio setting
    // names a closed descriptor) or -11 (too many processes).
    int32_t spawn(const Task &parent, const std::string &path, const std::vector<std::string> &argv) override;
    // waitpid for parent: the id of an ended child (pid, or any for -1) with
    // its status, 0 with noHang while it runs, -10 when pid is no child of
    // parent's still to be collected, -4 when the run is ending.
    int32_t wait(uint32_t parent, int32_t pid, bool noHang, int32_t &status) override;
    // True once a second process has been started.
    bool many() const { return many_; }
    // Stops every child and waits for their threads.
    void endAll();
    // Set when a child ended the whole run.
    std::optional<Ending> ending() const;

private:
    struct Process {
        uint32_t parent;
        std::unique_ptr<Task> task;
        std::unique_ptr<Engine> cpu; // null once the process has ended
        std::thread thread;
        std::optional<int32_t> status; // once it has ended
    };

    void runChild(uint32_t id, Process &p, uint32_t entry, std::vector<uint8_t> file);
    void endRun(Ending e);
    size_t alive() const;
    void reap();
    bool full() const;

    Kernel &kernel_;
    CpuFactory makeCpu_;
    RunLimits limits_;
    Engine *first_ = nullptr;
    std::map<uint32_t, Process> table_; // guarded by the scheduler's mutex
    uint32_t nextId_ = 2;
    std::atomic<bool> many_ = false;
    std::optional<Ending> ending_;
    std::condition_variable ended_; // a child's thread is done
};

} // namespace zylos
