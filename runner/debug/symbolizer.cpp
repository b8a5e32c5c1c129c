#include "runner/debug/symbolizer.h"

#include "hostlib/elf32.h"
#include "hostlib/escaped_text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

namespace zylos {
namespace {

constexpr uint32_t kCieId = 0xFFFFFFFF;
// DWARF register numbers of i386.
constexpr unsigned kEsp = 4, kEbp = 5, kEip = 8, kRegisters = 9;

// A bounds-checked cursor over the frame section; a read past its end sets
// bad and yields zeros, so a malformed section ends the walk, nothing more.
struct Cursor {
    std::span<const uint8_t> bytes;
    size_t at, end;
    bool bad = false;

    bool more() const { return !bad && at < end; }
    uint64_t fixed(size_t n)
    {
        uint64_t v = 0;
        if (at > end || end - at < n) {
            bad = true;
            return 0;
        }
        for (size_t i = 0; i < n; ++i)
            v |= uint64_t{bytes[at + i]} << (8 * i);
        at += n;
        return v;
    }
    uint64_t uleb()
    {
        uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
            const uint64_t b = fixed(1);
            if (bad || shift > 63)
                return bad = true, 0;
            v |= (b & 0x7F) << shift;
            if (!(b & 0x80))
                return v;
        }
    }
    // Signed values are kept in two's complement: all arithmetic on them is
    // modulo 2^64, and addresses are checked after it.
    uint64_t sleb()
    {
        uint64_t v = 0, b = 0;
        unsigned shift = 0;
        do {
            b = fixed(1);
            if (bad || shift > 63)
                return bad = true, 0;
            v |= (b & 0x7F) << shift;
            shift += 7;
        } while (b & 0x80);
        if (shift < 64 && (b & 0x40))
            v |= ~uint64_t{0} << shift;
        return v;
    }
};

// Where a register of the caller is: unchanged, or saved at CFA + offset.
struct Rule {
    enum Kind { Same, Saved, Undefined } kind = Same;
    uint64_t offset = 0;
};

struct Row {
    unsigned cfaReg = kEsp;
    uint64_t cfaOffset = 4;
    std::array<Rule, kRegisters> regs{};
};

struct Cie {
    uint64_t codeAlign = 1;
    uint64_t dataAlign = ~uint64_t{3}; // -4
    unsigned returnReg = kEip;
    size_t program = 0, programEnd = 0;
};

std::optional<Cie> parseCie(std::span<const uint8_t> bytes, size_t offset)
{
    Cursor c{bytes, offset, bytes.size()};
    const uint64_t length = c.fixed(4);
    if (c.bad || length >= 0xFFFFFFF0 || length > bytes.size() - c.at || c.fixed(4) != kCieId)
        return std::nullopt;
    c.end = offset + 4 + length;
    Cie cie;
    const uint64_t version = c.fixed(1);
    if (c.fixed(1) != 0) // augmentations are not produced for .debug_frame here
        return std::nullopt;
    if (version >= 4) {
        if (c.fixed(1) != 4 || c.fixed(1) != 0) // address and segment sizes
            return std::nullopt;
    }
    cie.codeAlign = c.uleb();
    cie.dataAlign = c.sleb();
    cie.returnReg = static_cast<unsigned>(version == 1 ? c.fixed(1) : c.uleb());
    if (c.bad || cie.returnReg != kEip)
        return std::nullopt;
    cie.program = c.at;
    cie.programEnd = c.end;
    return cie;
}

// DWARF's call frame instructions (DW_CFA_*). The first three carry an
// operand in their low six bits and are told by the high two alone.
enum class Cfa : uint8_t {
    Nop = 0x00,
    AdvanceLoc1 = 0x02,
    AdvanceLoc2 = 0x03,
    AdvanceLoc4 = 0x04,
    OffsetExtended = 0x05,
    RestoreExtended = 0x06,
    Undefined = 0x07,
    SameValue = 0x08,
    RememberState = 0x0A,
    RestoreState = 0x0B,
    DefCfa = 0x0C,
    DefCfaRegister = 0x0D,
    DefCfaOffset = 0x0E,
    OffsetExtendedSf = 0x11,
    DefCfaSf = 0x12,
    DefCfaOffsetSf = 0x13,
    GnuArgsSize = 0x2E,
    AdvanceLoc = 0x40,
    Offset = 0x80,
    Restore = 0xC0,
};
constexpr uint8_t kCfaPrimaryMask = 0xC0, kCfaOperandMask = 0x3F;

// Call frame instructions run against one row. Registers the row does not
// track are read over and left alone.
class FrameProgram {
public:
    FrameProgram(std::span<const uint8_t> bytes, size_t from, size_t to, const Cie &cie, Row &row, const Row &initial)
        : c_{bytes, from, to}, cie_(cie), row_(row), initial_(initial)
    {
    }

    // Runs up to (not past) pc; false for what this unwinder does not
    // follow (expressions, other registers as CFA).
    bool runTo(uint32_t loc, uint32_t pc)
    {
        while (c_.more()) {
            std::optional<uint64_t> advance;
            if (!step(advance))
                return false;
            if (!advance)
                continue;
            const uint64_t next = uint64_t{loc} + *advance * cie_.codeAlign;
            if (next > pc)
                return !c_.bad;
            loc = static_cast<uint32_t>(next);
        }
        return !c_.bad;
    }

private:
    // One instruction; advance gets how far it moves the location, if it does.
    bool step(std::optional<uint64_t> &advance)
    {
        const uint8_t op = static_cast<uint8_t>(c_.fixed(1));
        const uint8_t operand = op & kCfaOperandMask;
        switch (static_cast<Cfa>(op & kCfaPrimaryMask)) {
        case Cfa::AdvanceLoc: advance = operand; return true;
        case Cfa::Offset: save(operand, c_.uleb() * cie_.dataAlign); return true;
        case Cfa::Restore: restore(operand); return true;
        default: return stepExtended(static_cast<Cfa>(op), advance);
        }
    }

    bool stepExtended(Cfa op, std::optional<uint64_t> &advance)
    {
        switch (op) {
        case Cfa::Nop: return true;
        case Cfa::AdvanceLoc1: advance = c_.fixed(1); return true;
        case Cfa::AdvanceLoc2: advance = c_.fixed(2); return true;
        case Cfa::AdvanceLoc4: advance = c_.fixed(4); return true;
        case Cfa::OffsetExtended: {
            const uint64_t r = c_.uleb();
            save(r, c_.uleb() * cie_.dataAlign);
            return true;
        }
        case Cfa::RestoreExtended: restore(c_.uleb()); return true;
        case Cfa::Undefined: set(c_.uleb(), {Rule::Undefined, 0}); return true;
        case Cfa::SameValue: set(c_.uleb(), {}); return true;
        case Cfa::RememberState: remembered_.push_back(row_); return true;
        case Cfa::RestoreState: return restoreState();
        case Cfa::DefCfa:
            row_.cfaReg = static_cast<unsigned>(c_.uleb());
            row_.cfaOffset = c_.uleb();
            return true;
        case Cfa::DefCfaRegister: row_.cfaReg = static_cast<unsigned>(c_.uleb()); return true;
        case Cfa::DefCfaOffset: row_.cfaOffset = c_.uleb(); return true;
        case Cfa::OffsetExtendedSf: {
            const uint64_t r = c_.uleb();
            save(r, c_.sleb() * cie_.dataAlign);
            return true;
        }
        case Cfa::DefCfaSf:
            row_.cfaReg = static_cast<unsigned>(c_.uleb());
            row_.cfaOffset = c_.sleb() * cie_.dataAlign;
            return true;
        case Cfa::DefCfaOffsetSf: row_.cfaOffset = c_.sleb() * cie_.dataAlign; return true;
        case Cfa::GnuArgsSize: c_.uleb(); return true;
        default: return false;
        }
    }

    void set(uint64_t reg, Rule rule)
    {
        if (reg < kRegisters)
            row_.regs[reg] = rule;
    }
    void save(uint64_t reg, uint64_t offset) { set(reg, {Rule::Saved, offset}); }
    void restore(uint64_t reg)
    {
        if (reg < kRegisters)
            row_.regs[reg] = initial_.regs[reg];
    }
    bool restoreState()
    {
        if (remembered_.empty())
            return false;
        row_ = remembered_.back();
        remembered_.pop_back();
        return true;
    }

    Cursor c_;
    const Cie &cie_;
    Row &row_;
    const Row &initial_;
    std::vector<Row> remembered_;
};

bool readWord(const GuestMemory &mem, uint64_t addr, uint32_t &out)
{
    return addr <= UINT32_MAX - 3 && mem.read(static_cast<uint32_t>(addr), &out, sizeof out);
}

} // namespace

Symbolizer::Symbolizer(std::span<const uint8_t> file, uint32_t entry) : entry_(entry)
{
    try {
        // Globals first, so that of two names for one address the global stays.
        // Names are kept escaped: every report that shows one shows it safely.
        const elf::File elf(file);
        const std::vector<elf::Symbol> symbols = elf.symbols();
        for (bool global : {true, false})
            for (const elf::Symbol &s : symbols)
                if ((s.type == STT_FUNC || s.type == STT_OBJECT) && s.global == global)
                    symbols_.push_back({s.value, s.size, escapedText(s.name)});
        if (const auto section = elf.section(".debug_frame")) {
            const std::span<const uint8_t> frames = elf.contents(*section);
            frames_.assign(frames.begin(), frames.end());
        }
    } catch (const elf::Error &) {
        // An unreadable table names nothing; the run itself goes on.
    }
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const GuestSymbol &a, const GuestSymbol &b) { return a.start < b.start; });
    symbols_.erase(std::unique(symbols_.begin(), symbols_.end(),
                               [](const GuestSymbol &a, const GuestSymbol &b) { return a.start == b.start; }),
                   symbols_.end());
    for (size_t at = 0; at + 8 <= frames_.size();) {
        Cursor c{frames_, at, frames_.size()};
        const uint64_t length = c.fixed(4);
        if (length >= 0xFFFFFFF0 || length > frames_.size() - c.at)
            break;
        const size_t end = c.at + static_cast<size_t>(length);
        c.end = end;
        const uint64_t cie = c.fixed(4);
        if (cie != kCieId) {
            const uint64_t start = c.fixed(4), range = c.fixed(4);
            if (!c.bad && start + range <= UINT32_MAX && parseCie(frames_, cie))
                fdes_.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(start + range),
                                 static_cast<size_t>(cie), c.at, end});
        }
        at = end;
    }
    std::sort(fdes_.begin(), fdes_.end(), [](const Fde &a, const Fde &b) { return a.start < b.start; });
}

const GuestSymbol *Symbolizer::symbolAt(uint32_t addr) const
{
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), addr,
                               [](uint32_t a, const GuestSymbol &f) { return a < f.start; });
    if (it == symbols_.begin())
        return nullptr;
    --it;
    return it->size == 0 || addr - it->start < it->size ? &*it : nullptr;
}

std::string Symbolizer::describe(uint32_t addr) const
{
    const GuestSymbol *f = symbolAt(addr);
    if (!f)
        return "";
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", addr - f->start);
    return f->name + offset;
}

bool Symbolizer::stepByFrameInfo(const Fde &fde, StackState &s, const GuestMemory &mem, bool caller) const
{
    const std::optional<Cie> cie = parseCie(frames_, fde.cie);
    if (!cie)
        return false;
    // A return address may be just past the end of a call's function; the
    // call itself is the instruction before it.
    const uint32_t pc = caller ? s.eip - 1 : s.eip;
    Row initial;
    if (!FrameProgram(frames_, cie->program, cie->programEnd, *cie, initial, initial).runTo(fde.start, UINT32_MAX))
        return false;
    Row row = initial;
    if (!FrameProgram(frames_, fde.program, fde.programEnd, *cie, row, initial).runTo(fde.start, pc))
        return false;
    if (row.cfaReg != kEsp && row.cfaReg != kEbp)
        return false;
    const uint64_t cfa = uint64_t{row.cfaReg == kEsp ? s.esp : s.ebp} + row.cfaOffset;
    const Rule ret = row.regs[kEip], bp = row.regs[kEbp];
    uint32_t eip = 0, ebp = s.ebp;
    if (ret.kind != Rule::Saved || !readWord(mem, cfa + ret.offset, eip))
        return false;
    if (bp.kind == Rule::Saved && !readWord(mem, cfa + bp.offset, ebp))
        return false;
    if (cfa > UINT32_MAX)
        return false;
    s = {eip, static_cast<uint32_t>(cfa), ebp};
    return true;
}

// push %ebp; mov %esp,%ebp (either encoding) opens the function.
bool Symbolizer::stepByFramePointer(const GuestSymbol &f, StackState &s, const GuestMemory &mem) const
{
    uint8_t prologue[3] = {};
    if (!mem.read(f.start, prologue, sizeof prologue) || prologue[0] != 0x55 ||
        !((prologue[1] == 0x89 && prologue[2] == 0xE5) || (prologue[1] == 0x8B && prologue[2] == 0xEC)))
        return false;
    uint32_t eip = 0, ebp = 0;
    const uint32_t into = s.eip - f.start;
    if (into == 0) // nothing pushed yet
        return readWord(mem, s.esp, eip) && (s = {eip, s.esp + 4, s.ebp}, true);
    if (into < sizeof prologue) // %ebp pushed, not yet the frame pointer
        return readWord(mem, uint64_t{s.esp} + 4, eip) && readWord(mem, s.esp, ebp) &&
               (s = {eip, s.esp + 8, ebp}, true);
    if (!readWord(mem, uint64_t{s.ebp} + 4, eip) || !readWord(mem, s.ebp, ebp))
        return false;
    s = {eip, s.ebp + 8, ebp};
    return true;
}

bool Symbolizer::step(StackState &s, const GuestMemory &mem, bool caller, std::string &why) const
{
    const GuestSymbol *f = symbolAt(s.eip);
    const uint32_t pc = caller ? s.eip - 1 : s.eip;
    auto fde = std::upper_bound(fdes_.begin(), fdes_.end(), pc, [](uint32_t a, const Fde &x) { return a < x.start; });
    const StackState before = s;
    bool moved = false;
    if (fde != fdes_.begin() && pc < std::prev(fde)->end)
        moved = stepByFrameInfo(*std::prev(fde), s, mem, caller);
    else if (f)
        moved = stepByFramePointer(*f, s, mem);
    const std::string name = f ? f->name : hexAddress(s.eip);
    if (!moved) {
        why = "cannot unwind past " + name + ": no frame information and no frame pointer (build with -g)";
        return false;
    }
    if (s.esp <= before.esp) {
        why = "cannot unwind past " + name + ": the stack does not lead outwards";
        return false;
    }
    return true;
}

std::vector<StackFrame> Symbolizer::unwind(StackState s, const GuestMemory &mem, size_t maxFrames,
                                           std::string *why) const
{
    std::vector<StackFrame> frames;
    std::string reason;
    for (bool caller = false; frames.size() < maxFrames; caller = true) {
        frames.push_back({s.eip, describe(s.eip)});
        const GuestSymbol *f = symbolAt(s.eip);
        if ((f && f->start == entry_) || s.eip == 0 || !step(s, mem, caller, reason))
            break;
    }
    if (frames.size() == maxFrames && reason.empty())
        reason = "more frames not shown";
    if (why)
        *why = reason;
    return frames;
}

std::string formatBacktrace(const Symbolizer &symbols, StackState s, const GuestMemory &mem)
{
    constexpr size_t kMaxFrames = 16;
    std::string why, out;
    const std::vector<StackFrame> frames = symbols.unwind(s, mem, kMaxFrames, &why);
    for (size_t i = 0; i < frames.size(); ++i) {
        char head[40];
        std::snprintf(head, sizeof head, "  #%zu %s", i, hexAddress(frames[i].eip).c_str());
        out += head + (frames[i].where.empty() ? "" : " " + frames[i].where) + "\n";
    }
    if (!why.empty())
        out += "  (" + why + ")\n";
    return out;
}

} // namespace zylos
