// What the files of the KVM engine (and their tests) share: where
// the VM keeps its page tables, descriptor tables and stub, and the one way
// they issue an ioctl.
#pragma once

#include "hostlib/host_call.h"
#include "runner/engines/descriptor_tables.h"
#include "runner/kernel/layout.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace zylos {

// Guest physical memory: the user range at the addresses the guest sees,
// then the system area with the page tables and the stub.
//
// The VM runs in long mode with the guest's code segment in 32-bit
// (compatibility) mode: some hosts run KVM guests with paging only in long
// mode, and the 4-level tables give the same non-executable pages that PAE
// paging would. The guest cannot tell the difference: there is no 64-bit
// code segment it may enter.
inline constexpr uint64_t kSystemPhys = kUserEnd;
inline constexpr uint64_t kSystemSize = 8 << 20; // the tables of a full 3 GiB user range fit
inline constexpr uint64_t kPml4 = kSystemPhys, kPdpt = kSystemPhys + 0x1000, kPageDirs = kSystemPhys + 0x2000;
inline constexpr uint64_t kTablesPhys = kSystemPhys + 0x6000, kHandlersPhys = kSystemPhys + 0x7000,
                          kStackPhys = kSystemPhys + 0x8000, kFirstTable = kSystemPhys + 0x9000;
// The stub's descriptor tables, handlers and ring-0 stack are mapped above
// the user range, where descriptor_tables.h places them.

// Vectors whose exits the engine tells apart.
inline constexpr uint32_t kInvalidOpcode = 6, kGeneralProtection = 13, kPageFault = 14;

inline constexpr uint64_t kPresent = 1, kWritable = 2, kUser = 4, kNoExecute = uint64_t{1} << 63;
inline constexpr uint64_t kCr0 = 0x80010000 | kMachineStatusWord; // PG, WP
inline constexpr uint64_t kCr4 = 0x620;                           // OSXMMEXCPT, OSFXSR, PAE
inline constexpr uint64_t kEfer = 0xD00;                          // NXE, LMA, LME
inline constexpr uint32_t kEflagsDefault = 0x2;

inline std::system_error systemError(const std::string &what)
{
    return {errno, std::generic_category(), what};
}

// An ioctl, tried again when a signal interrupted it; throws when it fails.
inline int kvmIoctl(int fd, unsigned long request, const void *arg, const char *what)
{
    const long r = retryInterrupted([&] { return ::ioctl(fd, request, arg); });
    if (r < 0) {
        errno = static_cast<int>(-r);
        throw systemError(what);
    }
    return static_cast<int>(r);
}

} // namespace zylos
