#include "runner/debug/profiler.h"

#include <algorithm>
#include <cstdio>

namespace zylos {

uint32_t Profiler::functionIndex(uint32_t eip)
{
    const GuestSymbol *f = symbols_.symbolAt(eip);
    const auto [it, added] = indexByStart_.try_emplace(f ? f->start : eip, static_cast<uint32_t>(names_.size()));
    if (added)
        names_.push_back(f ? f->name : hexAddress(eip));
    return it->second;
}

uint32_t Profiler::child(uint32_t parent, uint32_t function)
{
    for (const auto &[fn, node] : children_[parent])
        if (fn == function)
            return node;
    nodes_.push_back({parent, function});
    children_.emplace_back();
    const auto node = static_cast<uint32_t>(nodes_.size() - 1);
    children_[parent].emplace_back(function, node);
    return node;
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
        stack_.push_back({child(stack_.back().node, functionIndex(eip)), esp});
    } else if (atStart && esp == stack_.back().entryEsp && nodes_[stack_.back().node].function != functionIndex(eip)) {
        // A tail call: the new function takes the caller's frame.
        const uint32_t parent = nodes_[stack_.back().node].parent;
        stack_.back().node = child(parent, functionIndex(eip));
    }
    current_ = stack_.back().node;
}

uint64_t Profiler::total() const
{
    uint64_t sum = 0;
    for (const Node &n : nodes_)
        sum += n.count;
    return sum;
}

std::string Profiler::path(uint32_t node) const
{
    std::string out;
    for (; node != 0; node = nodes_[node].parent)
        out = names_[nodes_[node].function] + (out.empty() ? "" : ";") + out;
    return out.empty() ? "[before the first block]" : out;
}

std::string Profiler::folded() const
{
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].count)
            lines.push_back(path(i) + " " + std::to_string(nodes_[i].count));
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

std::string Profiler::summary(size_t top) const
{
    struct Totals {
        uint64_t self = 0, total = 0;
    };
    std::vector<Totals> perFunction(names_.size());
    for (uint32_t i = 1; i < nodes_.size(); ++i) {
        const Node &n = nodes_[i];
        if (!n.count)
            continue;
        perFunction[n.function].self += n.count;
        // Each function on the stack once, however deep it recurses.
        std::vector<bool> seen(names_.size());
        for (uint32_t at = i; at != 0; at = nodes_[at].parent)
            if (!seen[nodes_[at].function]) {
                seen[nodes_[at].function] = true;
                perFunction[nodes_[at].function].total += n.count;
            }
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
    for (size_t k = 0; k < order.size() && k < top; ++k) {
        const Totals &t = perFunction[order[k]];
        char line[96];
        std::snprintf(line, sizeof line, "%12llu %5.1f%% %12llu %5.1f%%  ", static_cast<unsigned long long>(t.self),
                      percent(t.self), static_cast<unsigned long long>(t.total), percent(t.total));
        out += line + names_[order[k]] + "\n";
    }
    return out;
}

} // namespace zylos
