// An exact profile of an emulated guest: every instruction is charged to the
// call stack it ran under. Calls and returns are followed at the start of
// each translated block (a call, a jump and a return all end one): arriving
// at a function's first instruction with the stack lower than the caller's
// entry is a call, the stack rising above a frame's entry is its return.
// Stacks are kept as a tree with a node per distinct path and the counts on
// the nodes, so a block costs the same at any depth and the output grows with
// the distinct paths, never with the instructions.
#pragma once

#include "runner/debug/symbolizer.h"
#include "runner/engines/unicorn.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zylos {

class Profiler final : public FlowObserver {
public:
    // Frames below this depth are charged to one node that says where the
    // stack was cut; recursion as deep as the guest's stack allows would
    // otherwise make a file of gigabytes.
    static constexpr size_t kMaxDepth = 512;
    // Distinct stacks kept: a guest that calls its way through ever new
    // paths would otherwise grow the tree without end. Stacks beyond are
    // charged to one frame, and the summary says so.
    static constexpr size_t kMaxStacks = size_t{1} << 20;
    // The longest function name shown, in bytes: a name in the image may be
    // of any length, and is shown once per frame of every stack.
    static constexpr size_t kMaxNameBytes = 1024;

    // maxStacks: kMaxStacks but where a test wants to reach the limit.
    explicit Profiler(const Symbolizer &symbols, size_t maxStacks = kMaxStacks);

    void enterBlock(uint32_t eip, uint32_t esp) override;
    void countInstructions(uint64_t n) override { nodes_[current_].count += n; }

    uint64_t total() const;
    // One line per call stack that ran instructions, "_start;main;printf 120",
    // in the folded format flame-graph tools read: callers before callees,
    // the callees of one caller by name. Lines go to out one at a time.
    void folded(const std::function<void(std::string_view)> &out) const;
    // Self and total instructions of the functions with the most in total,
    // then a line on the stacks beyond the limit, if there were any.
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
    uint32_t frameNode(uint32_t parent, uint32_t function, size_t depth);
    uint32_t functionIndex(uint32_t eip);
    uint32_t nameIndex(std::string name);
    uint32_t overflowNode();
    std::string overflowNote() const;
    // Each node's children, ordered by name: the order of the folded lines.
    std::vector<std::vector<uint32_t>> childLists() const;

    const Symbolizer &symbols_;
    std::vector<std::string> names_;                       // per function seen (or address outside every function)
    std::unordered_map<uint32_t, uint32_t> indexByStart_;  // into names_
    std::vector<Node> nodes_{{0, UINT32_MAX, 0}};          // node 0: before the first block
    std::unordered_map<uint64_t, uint32_t> childByParent_; // (parent << 32 | function) -> node
    std::vector<Frame> stack_;
    uint32_t current_ = 0;
    uint32_t cut_; // the name of the node that holds everything below kMaxDepth
    const size_t maxStacks_;
    std::optional<uint32_t> overflow_; // the node that holds every stack beyond maxStacks_
};

} // namespace zylos
