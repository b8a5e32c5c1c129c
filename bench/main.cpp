// zylos-bench: the benchmark table of our runtime beside peer C libraries.
// Every figure is measured afresh in this run; a figure that cannot be had
// says why in its cell.
#include "counts.h"
#include "hostlib/command.h"
#include "sizes.h"
#include "timing.h"
#include "vm_exit.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace zylos::bench {
namespace {

// drape with the whole library in it.
constexpr uint64_t kLoadedBytesGoal = 12 * 1024;
// Where %gs points inside a peer image's bench_thread (see peer_calls.c).
constexpr uint32_t kThreadPointerOffset = 128 * 4;
// zylos-run --native must start drape in at most this many plain process starts.
constexpr double kNativeStartGoal = 2;
constexpr int kWallRuns = 41, kThroughputRuns = 5;
// A kernel call on --native within this many bare VM exits; a compute-bound
// guest on --native within this many times the plain Linux process.
constexpr double kCallGoal = 1.5, kComputeGoal = 1.2;
constexpr int kCalls = 100000, kExits = 100000, kComputeRounds = 1000, kBackendRuns = 3, kInterleavedRuns = 5;
// The emulated engine: one cheap kernel call within this many microseconds;
// a workload within this many times musl's under qemu-i386, and with --count
// within this many times a plain emulated run.
constexpr double kEmulatedCallGoal = 0.5, kEmulatedComputeGoal = 5, kCountGoal = 1.3;
// Children started one after another, and MiB sent through a pipe, per run.
constexpr int kSpawns = 200, kPipeMiB = 1024;
// How far apart the fastest of several runs of the same loop lie on a busy
// host; identical string instructions differ by this much.
constexpr uint64_t kNoisePercent = 2;

struct Subject {
    std::string name;
    std::string callsImage; // routines called by symbol
    std::string program;    // the program whose size is reported
    std::string throughput; // bench/throughput.c built for this library
    bool peer = false;
    std::string compute;   // bench/compute.c built for this library
    std::string workloads; // bench/workloads.c built for this library
    std::string calls;     // bench/calls.c built for this library
    std::string unfetched; // why this peer's library could not be had, if so
};

struct Row {
    std::string measure;
    std::vector<std::string> cells;
    std::string goal;
};

std::string number(double v, int decimals = 0)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// "NAME=PATH"
std::pair<std::string, std::string> splitPair(const std::string &s)
{
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == s.size())
        throw CLI::ValidationError("expected NAME=PATH: " + s);
    return {s.substr(0, eq), s.substr(eq + 1)};
}

std::string goalText(std::optional<double> goal, std::optional<double> ours)
{
    if (!goal)
        return "";
    const std::string verdict = !ours ? "no figure" : *ours <= *goal ? "met" : "MISSED";
    return "<= " + number(*goal) + ": " + verdict;
}

// A peer's library is set up by nothing (its own start-up code never runs):
// %gs gets the thread block in the image, and its heap calls are served.
std::unique_ptr<Guest> loadPeer(const std::string &image)
{
    auto g = std::make_unique<Guest>(image);
    g->setGsSegment(g->sym("bench_thread") + kThreadPointerOffset);
    return g;
}

std::vector<Row> countRows(const std::vector<Subject> &subjects)
{
    std::vector<std::unique_ptr<Guest>> guests;
    for (const Subject &s : subjects)
        guests.push_back(s.callsImage.empty() ? nullptr
                         : s.peer             ? loadPeer(s.callsImage)
                                              : std::make_unique<Guest>(s.callsImage));
    std::vector<Row> rows;
    for (const Workload &w : workloads()) {
        Row row{w.name + " (insns)", {}, ""};
        std::optional<double> ours;
        for (size_t i = 0; i < subjects.size(); ++i) {
            if (!guests[i]) {
                row.cells.push_back("n/a");
                continue;
            }
            const Count c = countOne(*guests[i], w, subjects[i].peer ? serveLinuxHeapCalls : nullptr);
            const int decimals = c.insns && *c.insns != static_cast<uint64_t>(*c.insns) ? 1 : 0;
            row.cells.push_back(c.insns ? number(*c.insns, decimals) : c.note);
            if (i == 0)
                ours = c.insns;
        }
        row.goal = goalText(w.goal, ours);
        rows.push_back(row);
    }
    return rows;
}

// The whole command, counted by zylos-run itself.
Row drapeRunRow(size_t columns)
{
    Row row{"drape /images/zylos.rei, whole run (insns)", std::vector<std::string>(columns, "n/a"), ""};
    const RunResult r = runCommand({ZYLOS_RUN_PATH, "--count", "drape", "/images/zylos.rei"});
    const size_t at = r.err.find("zylos-run: ");
    row.cells[0] = r.status == 0 && at != std::string::npos ? r.err.substr(at + 11, r.err.find(' ', at + 11) - at - 11)
                                                            : "failed: " + r.err;
    return row;
}

std::vector<Row> sizeRows(const std::vector<Subject> &subjects, const std::string &strip, uint64_t goal)
{
    std::vector<ImageSize> sizes;
    size_t maxSegments = 0;
    for (const Subject &s : subjects) {
        sizes.push_back(s.program.empty() ? ImageSize{} : measureImage(s.program, strip));
        maxSegments = std::max(maxSegments, sizes.back().segments.size());
    }
    auto cell = [&](size_t i, auto f) { return subjects[i].program.empty() ? std::string("n/a") : f(sizes[i]); };
    std::vector<Row> rows;
    Row loaded{"image: loaded bytes (PT_LOAD file sizes)", {}, ""};
    Row file{"image: file bytes", {}, ""}, stripped{"image: file bytes, stripped", {}, ""};
    for (size_t i = 0; i < subjects.size(); ++i) {
        loaded.cells.push_back(cell(i, [](const ImageSize &s) { return std::to_string(s.loaded); }));
        file.cells.push_back(cell(i, [](const ImageSize &s) { return std::to_string(s.file); }));
        stripped.cells.push_back(cell(i, [](const ImageSize &s) { return std::to_string(s.stripped); }));
    }
    loaded.goal = goalText(static_cast<double>(goal), static_cast<double>(sizes[0].loaded));
    rows.push_back(loaded);
    for (size_t k = 0; k < maxSegments; ++k) {
        Row seg{"image: segment " + std::to_string(k + 1) + ", file / memory bytes", {}, ""};
        for (size_t i = 0; i < subjects.size(); ++i)
            seg.cells.push_back(k < sizes[i].segments.size()
                                    ? sizes[i].segments[k].flags + " " + std::to_string(sizes[i].segments[k].filesz) +
                                          " / " + std::to_string(sizes[i].segments[k].memsz)
                                    : "");
        rows.push_back(seg);
    }
    rows.push_back(file);
    rows.push_back(stripped);
    return rows;
}

std::string failure(const std::exception &e)
{
    return std::string("failed: ") + e.what();
}

// drape on both backends beside the start of a plain static Linux program.
std::vector<Row> wallRows(const std::vector<Subject> &subjects)
{
    const std::vector<std::string> na(subjects.size(), "n/a");
    const std::string runs = " (us, median of " + std::to_string(kWallRuns) + ")";
    Row emulated{"drape /images/zylos.rei: wall time, emulated" + runs, na, ""};
    Row native{"drape /images/zylos.rei: wall time, --native" + runs, na, ""};
    Row plain{"peer program -h, plain static Linux process: wall time" + runs, na, ""};
    const std::vector<std::string> drape = {ZYLOS_RUN_PATH, "--root", ZYLOS_ROOT_DIR, "drape", "/images/zylos.rei"};
    std::optional<double> nativeTime, plainTime, emulatedTime;
    try {
        emulatedTime = medianWallMicros(drape, kWallRuns);
        emulated.cells[0] = number(*emulatedTime);
        std::vector<std::string> argv = drape;
        argv.insert(argv.begin() + 1, "--native");
        nativeTime = medianWallMicros(argv, kWallRuns);
        native.cells[0] = number(*nativeTime);
    } catch (const std::exception &e) {
        native.cells[0] = failure(e);
    }
    for (size_t i = 1; i < subjects.size(); ++i) {
        if (subjects[i].program.empty())
            continue;
        try {
            const double t = medianWallMicros({subjects[i].program, "-h"}, kWallRuns);
            plain.cells[i] = number(t);
            if (subjects[i].name == "musl")
                plainTime = t;
        } catch (const std::exception &e) {
            plain.cells[i] = failure(e);
        }
    }
    if (plainTime)
        native.goal = "<= " + number(kNativeStartGoal) + " x musl's plain start (" + number(*plainTime) +
                      "): " + (nativeTime && *nativeTime <= kNativeStartGoal * *plainTime ? "met" : "MISSED");
    if (emulatedTime)
        native.goal += std::string(native.goal.empty() ? "" : "; ") +
                       "<= emulated: " + (nativeTime && *nativeTime <= *emulatedTime ? "met" : "MISSED");
    return {emulated, native, plain};
}

// The routines' own timing loops on the host CPU: ours under zylos-run
// --native, a peer's as a plain Linux program.
std::vector<Row> throughputRows(const std::vector<Subject> &subjects)
{
    struct Measure {
        const char *key, *label;
        bool goal; // ours at least as fast as musl
    };
    static const Measure measures[] = {
        {"memcpy_4k", "memcpy 4 KiB", true},     {"memcpy_1m", "memcpy 1 MiB", true},
        {"memset_4k", "memset 4 KiB", true},     {"memset_1m", "memset 1 MiB", true},
        {"strlen_1023", "strlen 1023 B", false}, {"snprintf", "snprintf \"%d %s %08x\"", false},
    };
    std::vector<std::map<std::string, uint64_t>> timings(subjects.size());
    std::vector<std::string> errors(subjects.size(), "n/a");
    size_t musl = subjects.size();
    for (size_t i = 0; i < subjects.size(); ++i) {
        if (subjects[i].name == "musl")
            musl = i;
        if (subjects[i].throughput.empty())
            continue;
        std::vector<std::string> argv{subjects[i].throughput};
        // Bounded: a host whose KVM emulates 32-bit code would take hours.
        if (!subjects[i].peer)
            argv.insert(argv.begin(), {ZYLOS_RUN_PATH, "--native", "--timeout", "60"});
        try {
            timings[i] = selfTimings(argv, kThroughputRuns);
        } catch (const std::exception &e) {
            errors[i] = failure(e);
        }
    }
    std::vector<Row> rows;
    for (const Measure &m : measures) {
        Row row{std::string(m.label) + ", native (TSC ticks per call, fastest)", {}, ""};
        for (size_t i = 0; i < subjects.size(); ++i) {
            const auto it = timings[i].find(m.key);
            row.cells.push_back(it != timings[i].end() ? std::to_string(it->second) : errors[i]);
        }
        if (m.goal && musl < subjects.size() && timings[0].count(m.key) && timings[musl].count(m.key))
            row.goal =
                "<= musl + 2% run-to-run noise: " +
                std::string(timings[0][m.key] * 100 <= timings[musl][m.key] * (100 + kNoisePercent) ? "met" : "MISSED");
        rows.push_back(row);
    }
    return rows;
}

// What runs a subject's program emulated: zylos-run for ours, qemu-i386 for
// a peer's plain Linux program.
std::vector<std::string> emulatedCommand(const Subject &s, const std::string &program)
{
    if (s.peer)
        return {"qemu-i386", program};
    return {ZYLOS_RUN_PATH, program};
}

// What runs it at the host CPU's speed: --native for ours, a plain process
// for a peer's.
std::vector<std::string> nativeCommand(const Subject &s, const std::string &program)
{
    if (s.peer)
        return {program};
    return {ZYLOS_RUN_PATH, "--native", program};
}

// One cheap kernel call, from the wall times of kCalls calls and of none:
// ours emulated and on --native, a peer's Linux call under qemu-i386 and as
// a plain process; beside the bare VM exit that bounds --native from below.
std::vector<Row> callRows(const std::vector<Subject> &subjects)
{
    const std::vector<std::string> na(subjects.size(), "n/a");
    const std::string runs = " (us per call, fastest of " + std::to_string(kBackendRuns) + ")";
    Row emulated{"kernel call close(63), 10^5 in a loop: emulated, peers under qemu-i386" + runs, na, ""};
    Row native{"kernel call close(63), 10^5 in a loop: --native, peers as plain Linux processes" + runs, na, ""};
    Row floor{"bare VM exit round trip, a port write in a loop (us, floor)", na, ""};
    std::optional<double> floorTime, nativeTime, emulatedTime;
    try {
        floorTime = vmExitMicros(kExits);
        floor.cells[0] = number(*floorTime, 2);
    } catch (const std::exception &e) {
        floor.cells[0] = failure(e);
    }
    const bool qemu = onPath("qemu-i386");
    for (size_t i = 0; i < subjects.size(); ++i) {
        if (subjects[i].calls.empty())
            continue;
        std::vector<std::vector<std::string>> commands;
        for (const bool onNative : {false, true}) {
            std::vector<std::string> argv = onNative ? nativeCommand(subjects[i], subjects[i].calls)
                                                     : emulatedCommand(subjects[i], subjects[i].calls);
            commands.push_back(argv);
            argv.push_back(std::to_string(kCalls));
            commands.push_back(argv);
        }
        const std::vector<Fastest> t = fastestWallMicros(commands, kBackendRuns);
        for (const bool onNative : {false, true}) {
            const Fastest &none = t[onNative ? 2 : 0], &all = t[onNative ? 3 : 1];
            std::string &cell = (onNative ? native : emulated).cells[i];
            if (!onNative && subjects[i].peer && !qemu)
                cell = "qemu-i386 not installed";
            else if (!none.micros || !all.micros)
                cell = "failed: " + (none.error.empty() ? all.error : none.error);
            else {
                const double each = (*all.micros - *none.micros) / kCalls;
                cell = number(each, 2);
                if (i == 0)
                    (onNative ? nativeTime : emulatedTime) = each;
            }
        }
    }
    emulated.goal = "<= " + number(kEmulatedCallGoal, 1) +
                    " us: " + (emulatedTime ? *emulatedTime <= kEmulatedCallGoal ? "met" : "MISSED" : "no figure");
    if (floorTime)
        native.goal = "<= " + number(kCallGoal, 1) +
                      " x the bare exit: " + (nativeTime && *nativeTime <= kCallGoal * *floorTime ? "met" : "MISSED");
    return {emulated, native, floor};
}

// bench/workloads.c: ours emulated (also with --count) and on --native; a
// peer's under qemu-i386 and as a plain process. Fastest of interleaved runs.
std::vector<Row> workloadRows(const std::vector<Subject> &subjects)
{
    struct Workload {
        const char *name, *rounds, *label;
    };
    static const Workload workloads[] = {
        {"sieve", "2", "sieve of 2^20 bytes, twice"},
        {"snprintf", "300", "snprintf, 30000 lines"},
        {"string", "400", "string routines over 4 KiB, 400 rounds"},
    };
    const bool qemu = onPath("qemu-i386");
    const std::string runs = " (ms, fastest of " + std::to_string(kInterleavedRuns) + " interleaved)";
    std::vector<Row> rows;
    for (const Workload &w : workloads) {
        const std::vector<std::string> na(subjects.size(), "n/a");
        Row emulated{std::string(w.label) + ": emulated, peers under qemu-i386" + runs, na, ""};
        Row counted{std::string(w.label) + ": emulated with --count" + runs, na, ""};
        Row native{std::string(w.label) + ": --native, peers as plain static 32-bit Linux processes" + runs, na, ""};
        // Per subject: emulated, native, then ours with --count.
        std::vector<std::vector<std::string>> commands;
        std::vector<size_t> firstOf;
        for (const Subject &s : subjects) {
            firstOf.push_back(commands.size());
            if (s.workloads.empty())
                continue;
            std::vector<std::string> argv = emulatedCommand(s, s.workloads), plain = nativeCommand(s, s.workloads);
            argv.insert(argv.end(), {w.name, w.rounds});
            plain.insert(plain.end(), {w.name, w.rounds});
            commands.push_back(argv);
            commands.push_back(plain);
            if (!s.peer) {
                argv.insert(argv.begin() + 1, "--count");
                commands.push_back(argv);
            }
        }
        const std::vector<Fastest> t = fastestWallMicros(commands, kInterleavedRuns);
        auto cell = [](const Fastest &f) { return f.micros ? number(*f.micros / 1000, 1) : "failed: " + f.error; };
        std::optional<double> ours, ourCounted, musl;
        for (size_t i = 0; i < subjects.size(); ++i) {
            if (subjects[i].workloads.empty())
                continue;
            const size_t at = firstOf[i];
            emulated.cells[i] = subjects[i].peer && !qemu ? "qemu-i386 not installed" : cell(t[at]);
            native.cells[i] = cell(t[at + 1]);
            if (!subjects[i].peer) {
                counted.cells[i] = cell(t[at + 2]);
                ours = t[at].micros;
                ourCounted = t[at + 2].micros;
            } else if (subjects[i].name == "musl" && qemu) {
                musl = t[at].micros;
            }
        }
        auto ratio = [](std::optional<double> a, std::optional<double> b, double goal, const std::string &what) {
            if (!a || !b)
                return "<= " + number(goal, 1) + " x " + what + ": no figure";
            const double r = *a / *b;
            return "<= " + number(goal, 1) + " x " + what + ": " + number(r, 2) + " x, " +
                   (r <= goal ? "met" : "MISSED");
        };
        emulated.goal = ratio(ours, musl, kEmulatedComputeGoal, "musl under qemu-i386");
        counted.goal = ratio(ourCounted, ours, kCountGoal, "emulated");
        rows.insert(rows.end(), {emulated, counted, native});
    }
    return rows;
}

// bench/procs.c on each backend: a child started and waited for, from the
// wall times of kSpawns children and of none; a pipe between two processes,
// from the wall times of kPipeMiB MiB through it and of none.
std::vector<Row> processRows(const std::string &root, size_t columns)
{
    const std::vector<std::string> na(columns, "n/a");
    const std::string runs = ", median of " + std::to_string(kBackendRuns) + ")";
    std::vector<Row> rows;
    for (const bool native : {false, true}) {
        const std::string backend = native ? "--native" : "emulated";
        Row spawn{"spawn + waitpid of a child that exits at once: " + backend + " (us each" + runs, na, ""};
        Row pipe{"pipe between two processes, 64 KiB writes: " + backend + " (MB/s" + runs, na, ""};
        std::vector<std::string> argv{ZYLOS_RUN_PATH, "--root", root, "procs"};
        if (native)
            argv.insert(argv.begin() + 1, "--native");
        auto timed = [&](const char *what, int n) {
            std::vector<std::string> a = argv;
            a.insert(a.end(), {what, std::to_string(n)});
            return medianWallMicros(a, kBackendRuns);
        };
        try {
            spawn.cells[0] = number((timed("spawn", kSpawns) - timed("spawn", 0)) / kSpawns, 1);
            const double micros = timed("pipe", kPipeMiB) - timed("pipe", 0);
            pipe.cells[0] = number(kPipeMiB * 1048576.0 / micros, 0);
        } catch (const std::exception &e) {
            spawn.cells[0] = pipe.cells[0] = failure(e);
        }
        rows.push_back(spawn);
        rows.push_back(pipe);
    }
    return rows;
}

// bench/compute.c: ours on both backends, a peer's as a plain static Linux
// process (where this host runs 32-bit programs).
std::vector<Row> computeRows(const std::vector<Subject> &subjects)
{
    const std::vector<std::string> na(subjects.size(), "n/a");
    const std::string runs =
        " (ms, median of " + std::to_string(kBackendRuns) + ", " + std::to_string(kComputeRounds) + " rounds)";
    Row native{"compute-bound guest: --native, peers as plain static 32-bit Linux processes" + runs, na, ""};
    Row emulated{"compute-bound guest: emulated" + runs, na, ""};
    const std::string rounds = std::to_string(kComputeRounds);
    std::optional<double> ours, musl;
    for (size_t i = 0; i < subjects.size(); ++i) {
        if (subjects[i].compute.empty())
            continue;
        try {
            if (subjects[i].peer) {
                const double t = medianWallMicros({subjects[i].compute, rounds}, kBackendRuns) / 1000;
                native.cells[i] = number(t, 1);
                if (subjects[i].name == "musl")
                    musl = t;
                continue;
            }
            emulated.cells[i] =
                number(medianWallMicros({ZYLOS_RUN_PATH, subjects[i].compute, rounds}, kBackendRuns) / 1000, 1);
            ours = medianWallMicros({ZYLOS_RUN_PATH, "--native", subjects[i].compute, rounds}, kBackendRuns) / 1000;
            native.cells[i] = number(*ours, 1);
        } catch (const std::exception &e) {
            native.cells[i] = subjects[i].peer ? "this host does not run it: " + std::string(e.what()) : failure(e);
        }
    }
    if (musl)
        native.goal = "<= " + number(kComputeGoal, 1) +
                      " x musl's plain process: " + (ours && *ours <= kComputeGoal * *musl ? "met" : "MISSED");
    return {native, emulated};
}

// Gives each subject named in a "NAME=PATH" its path.
void attach(std::vector<Subject> &subjects, const std::vector<std::string> &pairs, std::string Subject::*field)
{
    for (const std::string &p : pairs) {
        const auto [name, path] = splitPair(p);
        for (Subject &s : subjects)
            if (s.name == name)
                s.*field = path;
    }
}

// A peer that could not be fetched is measured nowhere: each of its cells
// says so, and a line below the table says why.
void leaveOutUnfetchedPeers(std::vector<Subject> &subjects, const std::string &unavailableFile)
{
    std::ifstream in(unavailableFile);
    if (!in)
        return;
    std::string why;
    std::getline(in, why);
    for (Subject &s : subjects)
        if (s.peer)
            s = {s.name, "", "", "", true, "", "", "", why.empty() ? "unknown cause" : why};
}

void printTable(const std::vector<Subject> &subjects, const std::vector<Row> &rows)
{
    std::cout << "| Measure |";
    for (const Subject &s : subjects)
        std::cout << " " << s.name << " |";
    std::cout << " Goal (zylos) |\n|---|";
    for (size_t i = 0; i < subjects.size(); ++i)
        std::cout << "---:|";
    std::cout << "---|\n";
    for (const Row &r : rows) {
        std::cout << "| " << r.measure << " |";
        for (size_t i = 0; i < r.cells.size(); ++i)
            std::cout << " " << (subjects[i].unfetched.empty() ? r.cells[i] : "not fetched") << " |";
        std::cout << " " << r.goal << " |\n";
    }
    for (const Subject &s : subjects)
        if (!s.unfetched.empty())
            std::cout << "\n" << s.name << " could not be fetched: " << s.unfetched << "\n";
}

int run(int argc, char **argv)
{
    CLI::App app{"Prints the benchmark table of the zylos runtime beside peer C libraries.", "zylos-bench"};
    std::vector<std::string> peerCalls, peerPrograms;
    std::string strip = "llvm-strip";
    app.add_option("--peer", peerCalls, "A peer library's call image (its libc.a behind our start-up stub)")
        ->type_name("NAME=IMAGE");
    app.add_option("--peer-program", peerPrograms,
                   "A static program of that peer that prints drape's messages, for the size rows")
        ->type_name("NAME=PROGRAM");
    app.add_option("--strip", strip, "The strip tool for the stripped sizes");
    std::vector<std::string> throughput;
    app.add_option("--throughput", throughput,
                   "bench/throughput.c built for a library: zylos's runs under zylos-run --native")
        ->type_name("NAME=PROGRAM");
    std::vector<std::string> compute;
    app.add_option("--compute", compute, "bench/compute.c built for a library: zylos's runs under zylos-run")
        ->type_name("NAME=PROGRAM");
    std::vector<std::string> workloads, calls;
    app.add_option("--workloads", workloads,
                   "bench/workloads.c built for a library: zylos's runs under zylos-run, a peer's under qemu-i386")
        ->type_name("NAME=PROGRAM");
    app.add_option("--calls", calls, "bench/calls.c built for a library, run as the workloads are")
        ->type_name("NAME=PROGRAM");
    std::string procsRoot;
    app.add_option("--procs-root", procsRoot, "A root holding bench/procs.c built for zylos as /bin/procs")
        ->type_name("DIR");
    std::string unavailable;
    app.add_option("--peers-unavailable", unavailable, "Where fetch-peers says why the peers could not be had")
        ->type_name("FILE");
    CLI11_PARSE(app, argc, argv);

    std::vector<Subject> subjects{{"zylos", ZYLOS_DRAPE_PATH, ZYLOS_DRAPE_PATH, "", false, "", "", "", ""}};
    for (const std::string &p : peerCalls) {
        const auto [name, path] = splitPair(p);
        subjects.push_back({name, path, "", "", true, "", "", "", ""});
    }
    for (const std::string &p : peerPrograms) {
        const auto [name, path] = splitPair(p);
        for (Subject &s : subjects)
            if (s.name == name)
                s.program = path;
    }
    attach(subjects, throughput, &Subject::throughput);
    attach(subjects, compute, &Subject::compute);
    attach(subjects, workloads, &Subject::workloads);
    attach(subjects, calls, &Subject::calls);
    if (!unavailable.empty())
        leaveOutUnfetchedPeers(subjects, unavailable);

    std::vector<Row> rows = countRows(subjects);
    rows.push_back(drapeRunRow(subjects.size()));
    for (Row &r : sizeRows(subjects, strip, kLoadedBytesGoal))
        rows.push_back(r);
    for (Row &r : wallRows(subjects))
        rows.push_back(r);
    for (Row &r : throughputRows(subjects))
        rows.push_back(r);
    for (Row &r : callRows(subjects))
        rows.push_back(r);
    for (Row &r : computeRows(subjects))
        rows.push_back(r);
    for (Row &r : workloadRows(subjects))
        rows.push_back(r);
    if (!procsRoot.empty())
        for (Row &r : processRows(procsRoot, subjects.size()))
            rows.push_back(r);
    printTable(subjects, rows);
    return 0;
}

} // namespace
} // namespace zylos::bench

int main(int argc, char **argv)
{
    try {
        return zylos::bench::run(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "zylos-bench: " << e.what() << "\n";
        return 1;
    }
}
