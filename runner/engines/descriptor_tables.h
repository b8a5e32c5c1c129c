// The descriptor tables of the guest's ring-3 set-up, the same on every
// engine: one page at the top of the address space that the guest may read
// (sgdt, sidt and str say where) but not change, holding the GDT, a TSS and
// the IDT. Every descriptor register is set from here and none is left at
// its reset value: the LDT is null, so a selector with the table bit set
// names no descriptor, and no descriptor the guest can reach leads to ring 0
// or to a code segment of another mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace zylos {

inline constexpr uint32_t kDescriptorPage = 0xFFFFF000;
inline constexpr uint32_t kTssOffset = 0x40, kIdtOffset = 0x100;

// Selectors of the GDT below; the TSS descriptor takes two slots.
inline constexpr uint16_t kKernelData = 0x08, kUserCode = 0x13, kUserData = 0x1B, kKernelCode = 0x20,
                          kTssSelector = 0x28;

// Flat 4 GiB, 32-bit, present and already marked accessed, so that the CPU
// never writes to the table.
constexpr uint64_t flatSegment(unsigned dpl, bool code)
{
    const uint64_t access = 0x80 | dpl << 5 | 0x10 | (code ? 0xB : 0x3);
    return 0xFFFF | access << 40 | uint64_t{0xCF} << 48;
}

inline constexpr uint64_t kGdt[] = {
    0,
    flatSegment(0, false),
    flatSegment(3, true),
    flatSegment(3, false),
    0x00AF9B000000FFFF, // ring-0 code of the native engine's stub, 64-bit
};
inline constexpr size_t kGdtEntries = std::size(kGdt) + 2;
inline constexpr uint16_t kGdtLimit = kGdtEntries * 8 - 1;
inline constexpr uint16_t kTssLimit = 103;

// A gate for every vector up to the kernel's, whose handler in the native
// engine reports its vector as an out to the port of that number. An int n
// above the kernel's vector fails the IDT's limit check and faults like one
// below it.
inline constexpr uint32_t kKernelVector = 0x80, kGates = kKernelVector + 1;
inline constexpr uint16_t kIdtLimit = kGates * 16 - 1;

// Where the native engine's ring-0 side lives: the handler of each vector,
// which the IDT's gates lead to, and the stack the TSS gives them.
inline constexpr uint32_t kHandlersPage = 0xFFFFE000, kRing0StackPage = 0xFFFFD000;
inline constexpr uint32_t kHandlerSize = 4;

// The low half of CR0, which smsw shows in ring 3: protected mode, x87
// present (MP, ET) and its unmasked exceptions raised as faults (NE). The
// native engine's CR0 adds paging and write protection above it.
inline constexpr uint16_t kMachineStatusWord = 0x33;

// Writes the GDT, the TSS and the IDT into the page (4096 bytes, zeroed).
void writeDescriptorTables(uint8_t *page);

} // namespace zylos
