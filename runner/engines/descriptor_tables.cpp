#include "runner/engines/descriptor_tables.h"

#include "runner/kernel/layout.h"

#include <cstring>

namespace zylos {
namespace {

// An interrupt gate of a 64-bit IDT into the stub's code.
uint64_t gate(uint64_t handler, unsigned dpl)
{
    return (handler & 0xFFFF) | uint64_t{kKernelCode} << 16 | uint64_t{0x8E | dpl << 5} << 40 |
           ((handler >> 16) & 0xFFFF) << 48;
}

} // namespace

void writeDescriptorTables(uint8_t *page)
{
    std::memcpy(page, kGdt, sizeof kGdt);
    // A 64-bit TSS, already busy: its ring-0 stack, and no I/O permissions
    // (the bitmap offset lies past its end).
    const uint64_t tss = kDescriptorPage + kTssOffset;
    const uint64_t descriptor[2] = {
        kTssLimit | (tss & 0xFFFFFF) << 16 | uint64_t{0x8B} << 40 | (tss >> 24 & 0xFF) << 56, tss >> 32};
    std::memcpy(page + sizeof kGdt, descriptor, sizeof descriptor);
    const uint64_t stackTop = uint64_t{kRing0StackPage} + kPageSize;
    std::memcpy(page + kTssOffset + 4, &stackTop, 8);
    const uint16_t noBitmap = kTssLimit + 1;
    std::memcpy(page + kTssOffset + 102, &noBitmap, 2);
    // Only the kernel's gate may be used from ring 3.
    for (uint32_t v = 0; v < kGates; ++v) {
        const uint64_t handler = kHandlersPage + v * kHandlerSize;
        const uint64_t entry[2] = {gate(handler, v == kKernelVector ? 3 : 0), handler >> 32};
        std::memcpy(page + kIdtOffset + 16 * v, entry, sizeof entry);
    }
}

} // namespace zylos
