#include "runner/debug/profiler.h"

#include <algorithm>
#include <cstdio>

namespace zylos {
namespace {

// The bytes of the character that starts at name[at] as shown: an escape
// ("\\", "\n", "\xNN") or a UTF-8 sequence, the only things an escaped
// name holds.
size_t shownLength(std::string_view name, size_t at)
{
    const auto b = static_cast<uint8_t>(name[at]);
    if (b == '\\')
        return at + 1 < name.size() && name[at + 1] == 'x' ? 4 : 2;
    if (b < 0x80)
        return 1;
    return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
}

// name cut to at most kMaxNameBytes with "..." at the end, never inside an
// escape or a character.
std::string shownName(std::string name)
{
    constexpr std::string_view kCut = "...";
    if (name.size() <= Profiler::kMaxNameBytes)
        return name;
    size_t end = 0;
    for (size_t length = 0; end + (length = shownLength(name, end)) <= Profiler::kMaxNameBytes - kCut.size();)
        end += length;
    name.resize(end);
    return name += kCut;
}

} // namespace

Profiler::Profiler(const Symbolizer &symbols, size_t maxStacks)
    : symbols_(symbols), cut_(nameIndex("[cut: deeper than " + std::to_string(kMaxDepth) + " frames]")),
      maxStacks_(maxStacks)
{
}

uint32_t Profiler::nameIndex(std::string name)
{
    names_.push_back(std::move(name));
    return static_cast<uint32_t>(names_.size() - 1);
}

uint32_t Profiler::functionIndex(uint32_t eip)
{
    const GuestSymbol *f = symbols_.symbolAt(eip);
    const uint32_t start = f ? f->start : eip;
    if (const auto it = indexByStart_.find(start); it != indexByStart_.end())
        return it->second;
    const uint32_t index = nameIndex(f ? shownName(f->name) : hexAddress(eip));
    indexByStart_.emplace(start, index);
    return index;
}

uint32_t Profiler::child(uint32_t parent, uint32_t function)
{
    const uint64_t key = uint64_t{parent} << 32 | function;
    if (const auto it = childByParent_.find(key); it != childByParent_.end())
        return it->second;
    if (nodes_.size() > maxStacks_) // node 0 is no stack
        return overflowNode();
    const auto node = static_cast<uint32_t>(nodes_.size());
    childByParent_.emplace(key, node);
    nodes_.push_back({parent, function});
    return node;
}

// Calls from it stay in it: it stands for every path beyond the limit.
uint32_t Profiler::overflowNode()
{
    if (!overflow_) {
        overflow_ = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back({0, nameIndex("[cut: more than " + std::to_string(maxStacks_) + " stacks]")});
    }
    return *overflow_;
}

// The node of a frame at depth (1 for the outermost) called from parent.
uint32_t Profiler::frameNode(uint32_t parent, uint32_t function, size_t depth)
{
    if (depth <= kMaxDepth)
        return child(parent, function);
    if (depth == kMaxDepth + 1)
        return child(parent, cut_);
    return parent; // the cut node already
}

void Profiler::enterBlock(uint32_t eip, uint32_t esp)
{
    // Returns (and longjmps) leave the frames whose return address is popped.
    while (stack_.size() > 1 && esp > stack_.back().entryEsp)
        stack_.pop_back();
    const GuestSymbol *f = symbols_.symbolAt(eip);
    const bool atStart = f && f->start == eip;
    if (stack_.empty()) {
        stack_.push_back({child(0, functionIndex(eip)), esp});
    } else if (atStart && esp < stack_.back().entryEsp) {
        stack_.push_back({frameNode(stack_.back().node, functionIndex(eip), stack_.size() + 1), esp});
    } else if (atStart && esp == stack_.back().entryEsp && nodes_[stack_.back().node].function != functionIndex(eip)) {
        // A tail call: the new function takes the caller's frame.
        const uint32_t caller = stack_.size() > 1 ? stack_[stack_.size() - 2].node : 0;
        stack_.back().node = frameNode(caller, functionIndex(eip), stack_.size());
    }
    current_ = stack_.back().node;
}

std::string Profiler::overflowNote() const
{
    if (!overflow_)
        return "";
    const Node &n = nodes_[*overflow_]; // calls from it stay in it: its count is all it holds
    return "  (" + std::to_string(n.count) + " instructions ran in stacks beyond the first " +
           std::to_string(maxStacks_) + ", charged to " + names_[n.function] + ")\n";
}

uint64_t Profiler::total() const
{
    uint64_t sum = 0;
    for (const Node &n : nodes_)
        sum += n.count;
    return sum;
}

std::vector<std::vector<uint32_t>> Profiler::childLists() const
{
    std::vector<std::vector<uint32_t>> children(nodes_.size());
    for (uint32_t i = 1; i < nodes_.size(); ++i)
        children[nodes_[i].parent].push_back(i);
    for (std::vector<uint32_t> &list : children)
        std::sort(list.begin(), list.end(), [&](uint32_t a, uint32_t b) {
            const std::string &x = names_[nodes_[a].function], &y = names_[nodes_[b].function];
            return x != y ? x < y : a < b;
        });
    return children;
}

void Profiler::folded(const std::function<void(std::string_view)> &out) const
{
    const auto children = childLists();
    if (nodes_[0].count)
        out("[before the first block] " + std::to_string(nodes_[0].count) + "\n");
    // Depth first without recursion: the path grows by a frame on the way
    // down and is cut back on the way up, so each line costs its own length.
    struct Step {
        uint32_t node;
        size_t next;       // the next child to visit
        size_t pathLength; // the path's length before this node's frame
    };
    std::string path;
    std::vector<Step> steps{{0, 0, 0}};
    while (!steps.empty()) {
        Step &s = steps.back();
        if (s.next == children[s.node].size()) {
            path.resize(s.pathLength);
            steps.pop_back();
            continue;
        }
        const uint32_t node = children[s.node][s.next++];
        const size_t before = path.size();
        // A ';' inside a name would split the frame in two.
        std::string name = names_[nodes_[node].function];
        for (size_t at; (at = name.find(';')) != std::string::npos;)
            name.replace(at, 1, "\\x3b");
        path += (before ? ";" : "") + name;
        if (nodes_[node].count)
            out(path + " " + std::to_string(nodes_[node].count) + "\n");
        steps.push_back({node, 0, before});
    }
}

std::string Profiler::summary(size_t top) const
{
    struct Totals {
        uint64_t self = 0, total = 0;
    };
    const auto children = childLists();
    // Subtree sums, children before parents: every child was made after its parent.
    std::vector<uint64_t> below(nodes_.size());
    for (uint32_t i = static_cast<uint32_t>(nodes_.size()); i-- > 1;) {
        below[i] += nodes_[i].count;
        below[nodes_[i].parent] += below[i];
    }
    // Each function counts once per stack, however deep it recurses: a node
    // adds its subtree to its function's total only where that function is
    // not already on the path above it.
    std::vector<Totals> perFunction(names_.size());
    std::vector<uint32_t> onPath(names_.size());
    std::vector<std::pair<uint32_t, size_t>> steps{{0, 0}}; // node, next child
    while (!steps.empty()) {
        auto &[node, next] = steps.back();
        if (next == children[node].size()) {
            if (node != 0)
                --onPath[nodes_[node].function];
            steps.pop_back();
            continue;
        }
        const uint32_t c = children[node][next++];
        const Node &n = nodes_[c];
        perFunction[n.function].self += n.count;
        if (onPath[n.function]++ == 0)
            perFunction[n.function].total += below[c];
        steps.push_back({c, 0});
    }
    std::vector<uint32_t> order(names_.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        if (perFunction[a].total != perFunction[b].total)
            return perFunction[a].total > perFunction[b].total;
        if (perFunction[a].self != perFunction[b].self)
            return perFunction[a].self > perFunction[b].self;
        return names_[a] < names_[b];
    });
    const uint64_t all = total();
    auto percent = [&](uint64_t v) { return all ? 100.0 * static_cast<double>(v) / static_cast<double>(all) : 0.0; };
    std::string out = "        self  self%       total total%  function\n";
    for (size_t k = 0; k < order.size() && k < top && perFunction[order[k]].total; ++k) {
        const Totals &t = perFunction[order[k]];
        char line[96];
        std::snprintf(line, sizeof line, "%12llu %5.1f%% %12llu %5.1f%%  ", static_cast<unsigned long long>(t.self),
                      percent(t.self), static_cast<unsigned long long>(t.total), percent(t.total));
        out += line + names_[order[k]] + "\n";
    }
    return out + overflowNote();
}

} // namespace zylos
