// The kernel of a run: what every process shares. Each process sees it
// through its own Task (runner/kernel/task.h).
#pragma once

#include "runner/kernel/console.h"
#include "runner/kernel/open_file.h"
#include "runner/kernel/process_host.h"
#include "runner/kernel/root_dir.h"
#include "runner/kernel/wait_room.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zylos {

struct CallRecord {
    std::string name;
    uint32_t nr;
    uint32_t args[3];
    int32_t result;
    bool injected; // not performed: the result came from an injection or a script
    uint32_t process = 1;
};

// What every process of a run shares: the root, the console, the waits and
// the limits of time, the named pipes and the process table.
struct Kernel {
    Kernel(RootDir r, Console &c) : root(std::move(r)), console(c) {}
    RootDir root;
    Console &console;
    WaitRoom waitRoom;
    size_t writeChunk = 0; // at most this many bytes per console write; 0 for no limit
    // Named pipes, by RootDir::placeOf; guarded by the wait room's mutex.
    std::map<std::string, std::shared_ptr<PipeBuffer>> fifos;
    ProcessHost *processes = nullptr; // null: spawn and waitpid are not served
};

} // namespace zylos
