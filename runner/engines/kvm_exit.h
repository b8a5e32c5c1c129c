// Why the KVM engine's vCPU left KVM_RUN, read from the exit record, the
// registers that came back with it and the frame the stub's handler left on
// its ring-0 stack. Nothing here touches the VM, so that the decoding can be
// checked without one.
#pragma once

#include "runner/engines/kvm_internal.h"
#include "runner/kernel/guest_memory.h"

#include <cstddef>
#include <cstdint>

struct kvm_run;

namespace zylos {

struct KvmExit {
    enum Kind {
        Interrupted, // a signal or a halt: nothing of the guest's
        KernelCall,  // an int 0x80, to be served and resumed
        Exception,   // any other vector: the guest faulted
    } kind = Interrupted;
    uint32_t vector = 0;    // Exception
    uint32_t errorCode = 0; // for the vectors whose exception pushes one
    // The guest's registers as the CPU pushed them.
    uint32_t eip = 0, esp = 0, eflags = 0;
    // Where in the stack page the pushed rip lies, and where the guest goes
    // on after a kernel call: past an int 0x80 that the host reported as an
    // invalid opcode at it, otherwise at eip.
    size_t ripSlot = 0;
    uint32_t resumeEip = 0;
};

// stackPage: the handlers' stack page (512 words); mem: the guest's memory,
// for the instruction at eip. interrupted: KVM_RUN returned EINTR or EAGAIN.
// Throws std::runtime_error for an exit the stub never makes.
KvmExit decodeKvmExit(const kvm_run &run, bool interrupted, const uint64_t *stackPage, const GuestMemory &mem);

} // namespace zylos
