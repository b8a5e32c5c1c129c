// The zylos kernel as seen by one guest process: console, files under a root
// folder, pipes, the descriptor table, the current directory and the
// background request. It knows nothing of how the guest's instructions run:
// a CPU backend hands it a call number, three argument words and the guest's
// memory, and gets one 32-bit result back.
#pragma once

#include "console.h"
#include "guest_memory.h"
#include "open_file.h"
#include "root_dir.h"

#include <array>
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

struct CallRecord {
    std::string name;
    uint32_t nr;
    uint32_t args[3];
    int32_t result;
    bool injected; // not performed: the result came from an injection or a script
};

class Kernel {
public:
    using Clock = std::chrono::steady_clock;
    // Returns a result to replace the call, or nothing to let it be performed.
    using Script = std::function<std::optional<int32_t>(const CallRecord &, GuestMemory &)>;
    using Observer = std::function<void(const CallRecord &, GuestMemory &)>;

    static constexpr size_t kMaxDescriptors = 64;

    Kernel(RootDir root, Console &console);
    // Descriptors refer back into the kernel (the write chunk): not movable.
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    int32_t call(uint32_t nr, const uint32_t (&args)[3], GuestMemory &mem);

    // The nth call (1-based) named name returns result without being
    // performed; nth 0 means every such call.
    void inject(std::string name, unsigned nth, int32_t result);
    void setScript(Script script) { script_ = std::move(script); }
    void setObserver(Observer observer) { observer_ = std::move(observer); }
    // At most n bytes per console write; 0 for no limit.
    void setWriteChunk(size_t n) { writeChunk_ = n; }
    // Sleeps end no later than this.
    void setDeadline(std::optional<Clock::time_point> d) { deadline_ = d; }
    void setRoot(RootDir root);

    bool exited() const { return exitStatus_.has_value(); }
    int exitStatus() const { return exitStatus_.value_or(0); }

private:
    struct Injection {
        std::string name;
        unsigned nth;
        int32_t result;
    };
    struct Stream {
        UniqueFd dir;
        std::string name;
        std::vector<uint8_t> data;
    };

    std::optional<int32_t> injectedResult(const std::string &name);
    int32_t perform(uint32_t nr, const uint32_t (&a)[3], GuestMemory &mem);
    int guestPath(GuestMemory &mem, uint32_t addr, std::string &path) const;
    OpenFile *file(uint32_t fd) const;
    int freeSlot(size_t from = 0) const;
    int readGuestBytes(GuestMemory &mem, uint32_t addr, uint32_t len, std::vector<uint8_t> &out) const;

    int32_t sysWrite(uint32_t fd, uint32_t buf, uint32_t len, GuestMemory &mem);
    int32_t sysRead(uint32_t fd, uint32_t buf, uint32_t len, GuestMemory &mem);
    int32_t sysOpen(uint32_t path, uint32_t flags, GuestMemory &mem);
    int32_t sysClose(uint32_t fd);
    int32_t sysGetKey();
    int32_t sysWriteFile(uint32_t path, uint32_t data, uint32_t len, GuestMemory &mem);
    int32_t sysSleep(uint32_t usec);
    int32_t sysPathCall(uint32_t path, GuestMemory &mem, int (RootDir::*op)(std::string_view) const);
    int32_t sysGetCwd(uint32_t buf, uint32_t size, GuestMemory &mem);
    int32_t sysStreamBegin(uint32_t path, GuestMemory &mem);
    int32_t sysStreamWrite(uint32_t handle, uint32_t data, uint32_t len, GuestMemory &mem);
    int32_t sysStreamEnd(uint32_t handle);
    int32_t sysSetBackground(uint32_t path, GuestMemory &mem);
    int32_t sysChdir(uint32_t path, GuestMemory &mem);
    int32_t sysLseek(uint32_t fd, uint32_t offset, uint32_t whence);
    int32_t sysPipe(uint32_t fds, GuestMemory &mem);
    int32_t sysDup(uint32_t fd);
    int32_t sysDup2(uint32_t oldFd, uint32_t newFd);

    RootDir root_;
    Console &console_;
    size_t writeChunk_ = 0;
    std::optional<Clock::time_point> deadline_;
    std::array<std::shared_ptr<OpenFile>, kMaxDescriptors> fds_;
    std::string cwd_ = "/";
    std::map<uint32_t, Stream> streams_;
    size_t streamBytes_ = 0; // held by all open streams together
    uint32_t nextStream_ = 1;
    std::optional<int> exitStatus_;
    std::vector<Injection> injections_;
    std::unordered_map<std::string, unsigned> seen_;
    Script script_;
    Observer observer_;
    std::vector<uint8_t> transfer_;
};

} // namespace zylos
