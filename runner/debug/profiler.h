// An exact profile of an emulated guest: every instruction is charged to the
// call stack it ran under. Calls and returns are followed at the start of
// each translated block (a call, a jump and a return all end one): arriving
// at a function's first instruction with the stack lower than the caller's
// entry is a call, the stack rising above a frame's entry is its return.
#pragma once

#include "runner/debug/symbolizer.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace zylos {

class Profiler {
public:
    explicit Profiler(const Symbolizer &symbols) : symbols_(symbols) {}

    void enterBlock(uint32_t eip, uint32_t esp);
    void countInstruction() { ++nodes_[current_].count; }

    uint64_t total() const;
    // One line per call stack that ran instructions, "_start;main;printf 120",
    // sorted, for flame-graph tools.
    std::string folded() const;
    // Self and total instructions of the functions with the most in total.
    std::string summary(size_t top) const;

private:
    struct Node {
        uint32_t parent;
        uint32_t function; // index into names_
        uint64_t count = 0;
    };
    struct Frame {
        uint32_t node;
        uint32_t entryEsp; // esp at the function's first instruction
    };
    uint32_t child(uint32_t parent, uint32_t function);
    uint32_t functionIndex(uint32_t eip);
    std::string path(uint32_t node) const;

    const Symbolizer &symbols_;
    std::vector<std::string> names_;                      // per function seen (or address outside every function)
    std::unordered_map<uint32_t, uint32_t> indexByStart_; // into names_
    std::vector<Node> nodes_{{0, UINT32_MAX, 0}};         // node 0: before the first block
    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> children_{{}}; // (function, node) per node
    std::vector<Frame> stack_;
    uint32_t current_ = 0;
};

} // namespace zylos
