// Names guest addresses after the functions and data objects of the image's
// symbol table, and unwinds a stopped guest's stack, for fault reports and
// the profiler. Built from the untrusted program file: a malformed table or
// frame section gives fewer names or frames, never an error.
#pragma once

#include "runner/kernel/guest_memory.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zylos {

struct GuestSymbol {
    uint32_t start, size; // size 0: up to the next function
    std::string name;     // escaped (escapedText): the file may hold any bytes
};

// The registers an unwind starts from.
struct StackState {
    uint32_t eip, esp, ebp;
};

struct StackFrame {
    uint32_t eip;
    std::string where; // "main+0x1d", or "" outside every symbol
};

class Symbolizer {
public:
    Symbolizer() = default;
    Symbolizer(std::span<const uint8_t> file, uint32_t entry);

    // The function or data object holding addr, or null.
    const GuestSymbol *symbolAt(uint32_t addr) const;
    // "main+0x1d", or "" when no symbol holds addr.
    std::string describe(uint32_t addr) const;

    // The frames from s outwards, at most maxFrames: by the image's call
    // frame information (.debug_frame, from -g and from the library), else by
    // the frame pointer where the function sets one up. When the walk ends
    // before the program's entry, *why says why.
    std::vector<StackFrame> unwind(StackState s, const GuestMemory &mem, size_t maxFrames, std::string *why) const;

private:
    struct Fde {
        uint32_t start, end;
        size_t cie;                 // offset of its CIE in frames_
        size_t program, programEnd; // its instructions in frames_
    };
    bool step(StackState &s, const GuestMemory &mem, bool caller, std::string &why) const;
    bool stepByFrameInfo(const Fde &fde, StackState &s, const GuestMemory &mem, bool caller) const;
    bool stepByFramePointer(const GuestSymbol &f, StackState &s, const GuestMemory &mem) const;

    std::vector<GuestSymbol> symbols_; // sorted by start
    std::vector<uint8_t> frames_;      // a copy of .debug_frame
    std::vector<Fde> fdes_;            // sorted by start
    uint32_t entry_ = 0;
};

// The lines under a fault line: one per frame, "  #1 0x08048123 main+0x13",
// then why the walk stopped early, if it did.
std::string formatBacktrace(const Symbolizer &symbols, StackState s, const GuestMemory &mem);

} // namespace zylos
