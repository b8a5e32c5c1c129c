// The native backend: the guest in a virtual machine of its own (Linux KVM),
// one vCPU executing its instructions at the host CPU's speed. The guest's
// pages are mapped with their own permissions at ring 3 (nothing else
// executable), and a small ring-0 stub built here (descriptor tables, a TSS
// and one handler per vector) turns every exception or interrupt into a
// port write that leaves the VM: an int 0x80 is answered by the kernel
// model and resumed, anything else ends the guest as a fault. Nothing the
// guest does reaches the host kernel. Guest memory is one host mapping
// that the kernel model reads and writes directly.
#pragma once

#include "runner/engines/engine.h"

#include <pthread.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <vector>

struct kvm_run;

namespace zylos {

struct KvmExit;

// The host cannot run a VM (no /dev/kvm, no permission, creation failing);
// what() names the cause.
struct NativeUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class KvmEngine final : public Engine {
public:
    // Throws NativeUnavailable.
    KvmEngine();
    ~KvmEngine() override;
    KvmEngine(const KvmEngine &) = delete;
    KvmEngine &operator=(const KvmEngine &) = delete;

    uint8_t *map(uint32_t addr, uint32_t size, unsigned perms) override;
    uint32_t reg(Reg r) const override;
    void setReg(Reg r, uint32_t v) override;
    Stop run(uint32_t begin, Task &task, const RunLimits &limits) override;
    void halt() override;

    bool accessible(uint32_t addr, size_t n, bool forWrite) const override;
    bool read(uint32_t addr, void *out, size_t n) const override;
    bool write(uint32_t addr, const void *in, size_t n) override;

private:
    struct Region {
        uint32_t base, size;
        unsigned perms;
    };
    const Region *regionAt(uint64_t addr) const;
    uint64_t *systemPage(uint64_t phys) const;
    uint64_t newTable();
    void addSlot(uint64_t phys, uint64_t size, uint8_t *host);
    void mapPage(uint64_t virt, uint64_t phys, uint64_t flags);
    void buildStub();
    void enterUserMode();
    void loadRegs();
    void storeRegs();
    // Runs the vCPU until it leaves KVM_RUN, and says why.
    KvmExit enter();
    std::optional<Stop> serveCall(const KvmExit &exit, Task &task);
    Stop faultAt(const KvmExit &exit);
    std::string faultText(const KvmExit &exit, uint32_t &address);

    int vm_ = -1, vcpu_ = -1;
    kvm_run *run_ = nullptr;
    size_t runSize_ = 0;
    uint8_t *mem_ = nullptr; // guest physical address 0 in the host
    uint32_t slots_ = 0;
    uint64_t nextTable_;
    std::vector<Region> regions_;     // sorted by base
    uint32_t regs_[10] = {};          // by Reg, while the guest is not running
    std::atomic<pthread_t> thread_{}; // the thread in run(), for halt()
    std::atomic<bool> halted_ = false;
};

} // namespace zylos
