// How the KVM engine reads an exit of its vCPU, checked on exit records made
// here: no VM is needed.
#include "runner/engines/kvm_exit.h"
#include "runner/engines/unicorn.h"
#include "runner/kernel/layout.h"

#include <gtest/gtest.h>
#include <linux/kvm.h>

#include <cstring>
#include <stdexcept>

namespace zylos {
namespace {

constexpr uint32_t kCode = 0x1000;
constexpr size_t kTop = kPageSize / 8;

struct Row {
    const char *name;
    bool interrupted;
    uint32_t reason, direction, port;
    size_t pushed; // words the CPU pushed: 6 with an error code
    uint8_t op[2]; // the instruction at kCode
    KvmExit::Kind kind;
    uint32_t resumeEip;
    uint32_t errorCode;
    bool refused; // an exit the stub never makes
};

TEST(KvmExit, DecodesEachKindOfExitAndRefusesOthers)
{
    UnicornEngine mem({});
    uint8_t *code = mem.map(kCode, kPageSize, kPermRead | kPermExec);
    // clang-format off
    const Row rows[] = {
        {"signal",             true,  KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 0x80, 5, {0x90, 0},    KvmExit::Interrupted, 0, 0, false},
        {"kick",               false, KVM_EXIT_INTR, 0,               0,    5, {0x90, 0},    KvmExit::Interrupted, 0, 0, false},
        {"kernel gate",        false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 0x80, 5, {0x90, 0},    KvmExit::KernelCall, kCode, 0, false},
        {"int 0x80 as #UD",    false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 6,    5, {0xCD, 0x80}, KvmExit::KernelCall, kCode + 2, 0, false},
        {"int 0x81 as #UD",    false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 6,    5, {0xCD, 0x81}, KvmExit::Exception, kCode, 0, false},
        {"page fault",         false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 14,   6, {0x90, 0},    KvmExit::Exception, kCode, 0x15, false},
        {"general protection", false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 13,   6, {0xCD, 0x80}, KvmExit::Exception, kCode, 0x15, false},
        {"stack a word off",   false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 0x80, 6, {0x90, 0},    {}, 0, 0, true},
        {"port past the gates",false, KVM_EXIT_IO,   KVM_EXIT_IO_OUT, 0x81, 5, {0x90, 0},    {}, 0, 0, true},
        {"port read",          false, KVM_EXIT_IO,   KVM_EXIT_IO_IN,  0x80, 5, {0x90, 0},    {}, 0, 0, true},
        {"hlt",                false, KVM_EXIT_HLT,  0,               0,    5, {0x90, 0},    {}, 0, 0, true},
    };
    // clang-format on
    for (const Row &r : rows) {
        std::memcpy(code, r.op, 2);
        uint64_t stack[kTop] = {};
        // error code, rip, cs, rflags, rsp, ss
        const uint64_t frame[] = {0x15, kCode, 0x13, 0x202, 0xBFFFFF00, 0x1B};
        std::memcpy(stack + kTop - r.pushed, frame + 6 - r.pushed, 8 * r.pushed);
        kvm_run run{};
        run.exit_reason = r.reason;
        run.io.direction = static_cast<uint8_t>(r.direction);
        run.io.port = static_cast<uint16_t>(r.port);
        run.s.regs.regs.rsp = kRing0StackPage + kPageSize - 8 * r.pushed;
        if (r.refused) {
            EXPECT_THROW(decodeKvmExit(run, r.interrupted, stack, mem), std::runtime_error) << r.name;
            continue;
        }
        const KvmExit e = decodeKvmExit(run, r.interrupted, stack, mem);
        EXPECT_EQ(e.kind, r.kind) << r.name;
        if (r.kind == KvmExit::Interrupted)
            continue;
        EXPECT_EQ(e.vector, r.port) << r.name;
        EXPECT_EQ(e.eip, kCode) << r.name;
        EXPECT_EQ(e.resumeEip, r.resumeEip) << r.name;
        EXPECT_EQ(e.errorCode, r.errorCode) << r.name;
        EXPECT_EQ(e.esp, 0xBFFFFF00u) << r.name;
        EXPECT_EQ(e.eflags, 0x202u) << r.name;
        EXPECT_EQ(stack[e.ripSlot], kCode) << r.name;
    }
}

} // namespace
} // namespace zylos
