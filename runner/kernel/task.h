// The kernel as one guest process sees it (a task): console, files under a root
// folder, pipes, the descriptor table, the current directory, the
// background request and the process calls. It knows nothing of how the
// guest's instructions run: a CPU backend hands it a call number, three
// argument words and the guest's memory, and gets one 32-bit result back.
#pragma once

#include "runner/kernel/call_table.h"
#include "runner/kernel/console.h"
#include "runner/kernel/guest_memory.h"
#include "runner/kernel/injection.h"
#include "runner/kernel/kernel.h"
#include "runner/kernel/open_file.h"
#include "runner/kernel/root_dir.h"
#include "runner/kernel/wait_room.h"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zylos {

// The status of a process that faulted, as of one ended by SIGSEGV: what its
// parent's waitpid collects, and the runner's exit status for process 1.
inline constexpr int kStatusFault = 128 + 11;

class Task {
public:
    using Clock = Deadline::Clock;
    // Returns a result to replace the call, or nothing to let it be performed.
    using Script = std::function<std::optional<int32_t>(const CallRecord &, GuestMemory &)>;
    using Observer = std::function<void(const CallRecord &, GuestMemory &)>;

    static constexpr size_t kMaxDescriptors = 64;

    // Process 1 of a run of its own, as tests and fuzzing use it.
    Task(RootDir root, Console &console);
    // Process id of a run sharing system, with the console on 0, 1 and 2.
    Task(Kernel &kernel, uint32_t id);
    // Descriptors refer back into the system (the write chunk): not movable.
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;

    int32_t call(uint32_t nr, const uint32_t (&args)[3], GuestMemory &mem);

    // The kernel of a child this process spawns: descriptors 0-2 from the
    // stdio setting, the others too when inherit is on, the current folder,
    // and the injections, script and observer. -9 (EBADF) when a setting
    // names a descriptor that is not open.
    int makeChild(uint32_t id, std::unique_ptr<Task> &child) const;
    uint32_t id() const { return id_; }
    void setId(uint32_t id) { id_ = id; }
    // The run is ending: the guest is to be stopped after this call.
    bool halted() const { return kernel_.waitRoom.halting(); }

    // The nth call (1-based) named name returns result without being
    // performed; nth 0 means every such call.
    void inject(std::string name, unsigned nth, int32_t result);
    void setScript(Script script) { script_ = std::move(script); }
    void setObserver(Observer observer) { observer_ = std::move(observer); }
    // At most n bytes per console write; 0 for no limit.
    void setWriteChunk(size_t n) { kernel_.writeChunk = n; }
    // Sleeps and waits end no later than this, and the guest stops there.
    void setDeadline(Deadline d) { kernel_.waitRoom.setDeadline(d); }
    const Deadline &deadline() const { return kernel_.waitRoom.deadline(); }
    void setRoot(RootDir root);

    bool exited() const { return exitStatus_.has_value(); }
    int exitStatus() const { return exitStatus_.value_or(0); }

private:
    struct Stream {
        UniqueFd dir;
        std::string name;
        std::vector<uint8_t> data;
    };

    // One kernel call moves at most this much in a read; writes loop over it.
    static constexpr size_t kTransferSize = 65536;

    friend struct CallRows; // the call table names the handlers below
    using Args = CallArgs;

    std::optional<int32_t> injectedResult(const std::string &name, uint32_t nr);
    // The absolute path of the name at addr, and the name as written.
    int guestPath(GuestMemory &mem, uint32_t addr, std::string &path, std::string *written = nullptr) const;
    int guestArguments(GuestMemory &mem, uint32_t addr, int32_t count, const std::string &path,
                       std::vector<std::string> &argv) const;
    OpenFile *file(uint32_t fd) const;
    int freeSlot(size_t from = 0) const;
    int readGuestBytes(GuestMemory &mem, uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const;
    // op on the root for the guest path at pathAddr.
    int32_t onRoot(GuestMemory &mem, uint32_t pathAddr, int (RootDir::*op)(std::string_view) const);
    int openFifo(const std::string &path, uint32_t flags, std::shared_ptr<OpenFile> &out);
    std::shared_ptr<PipeBuffer> fifo(const std::string &path);

    // One per kernel call, each reading its arguments from a.
    int32_t sysWrite(const Args &a, GuestMemory &mem);
    int32_t sysExit(const Args &a, GuestMemory &mem);
    int32_t sysRead(const Args &a, GuestMemory &mem);
    int32_t sysOpen(const Args &a, GuestMemory &mem);
    int32_t sysClose(const Args &a, GuestMemory &mem);
    int32_t sysGetKey(const Args &a, GuestMemory &mem);
    int32_t sysWriteFile(const Args &a, GuestMemory &mem);
    int32_t sysSleep(const Args &a, GuestMemory &mem);
    int32_t sysMkdir(const Args &a, GuestMemory &mem);
    int32_t sysUnlink(const Args &a, GuestMemory &mem);
    int32_t sysRmdir(const Args &a, GuestMemory &mem);
    int32_t sysGetCwd(const Args &a, GuestMemory &mem);
    int32_t sysStreamBegin(const Args &a, GuestMemory &mem);
    int32_t sysStreamWrite(const Args &a, GuestMemory &mem);
    int32_t sysStreamEnd(const Args &a, GuestMemory &mem);
    int32_t sysSetBackground(const Args &a, GuestMemory &mem);
    int32_t sysChdir(const Args &a, GuestMemory &mem);
    int32_t sysLseek(const Args &a, GuestMemory &mem);
    int32_t sysPipe(const Args &a, GuestMemory &mem);
    int32_t sysMkfifo(const Args &a, GuestMemory &mem);
    int32_t sysDup(const Args &a, GuestMemory &mem);
    int32_t sysDup2(const Args &a, GuestMemory &mem);
    int32_t sysSetInherit(const Args &a, GuestMemory &mem);
    int32_t sysSetStdio(const Args &a, GuestMemory &mem);
    int32_t sysSetNonblock(const Args &a, GuestMemory &mem);
    int32_t sysSpawn(const Args &a, GuestMemory &mem);
    int32_t sysWaitpid(const Args &a, GuestMemory &mem);

    void installConsole();

    std::unique_ptr<Kernel> own_; // for a kernel of a run of its own
    Kernel &kernel_;
    uint32_t id_;
    std::array<std::shared_ptr<OpenFile>, kMaxDescriptors> fds_;
    std::bitset<kMaxDescriptors> nonblock_;
    // What the next spawn hands the child.
    std::array<uint32_t, 3> stdio_ = {0, 1, 2};
    bool inherit_ = false;
    std::string cwd_ = "/";
    std::map<uint32_t, Stream> streams_;
    size_t streamBytes_ = 0; // held by all open streams together
    uint32_t nextStream_ = 1;
    std::optional<int> exitStatus_;
    std::vector<Injection> injections_;
    std::unordered_map<uint32_t, unsigned> seen_; // calls made, by number
    Script script_;
    Observer observer_;
    std::vector<uint8_t> transfer_;
};

} // namespace zylos
