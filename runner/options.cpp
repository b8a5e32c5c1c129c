#include "runner/options.h"

#include "hostlib/command_line.h"
#include "runner/kernel/call_table.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iostream>

namespace zylos {
namespace {

// Far beyond any test, and small enough for the clock's arithmetic.
constexpr double kMaxTimeout = 1e7;

template <typename T>
bool parseNumber(std::string_view text, T &out)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// NAME[@N]=RESULT
std::string parseInjection(const std::string &text, Injection &out)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos)
        return "expected NAME[@N]=RESULT";
    std::string_view name = std::string_view(text).substr(0, eq);
    out.nth = 0;
    if (const size_t at = name.find('@'); at != std::string_view::npos) {
        if (!parseNumber(name.substr(at + 1), out.nth) || out.nth == 0)
            return "N must be a positive call count";
        name = name.substr(0, at);
    }
    out.name = name;
    if (!isCallName(out.name))
        return "unknown kernel call '" + out.name + "'";
    if (!parseNumber(std::string_view(text).substr(eq + 1), out.result))
        return "RESULT must be a 32-bit integer";
    return "";
}

std::string footer()
{
    std::string unserved;
    for (const CallInfo &c : callTable())
        if (!served(&c))
            unserved += std::string(c.name) + " (" + std::to_string(c.nr) + "), ";
    return "PROGRAM with a '/' is a host path; a bare name is ROOT/bin/NAME. Options come before PROGRAM;\n"
           "everything after it goes to the guest, which gets PROGRAM as written as argv[0].\n\n"
           "Kernel calls answered with -38 (ENOSYS): " +
           unserved +
           "any unknown number.\n\n"
           "Exit status: the guest's status (low 8 bits); 124 a limit stopped the guest; 125 usage or\n"
           "runner error; 126 not a valid zylos executable; 127 PROGRAM not found; 139 the guest faulted.";
}

// PROGRAM and its arguments are not options of ours, so CLI11 cannot list them.
class UsageFormatter : public CLI::Formatter {
    std::string make_usage(const CLI::App *, std::string name) const override
    {
        return "Usage: " + name + " [OPTIONS] PROGRAM [ARG...]\n";
    }
};

int usageError(const std::string &message)
{
    return zylos::usageError("zylos-run", message);
}

// CLI11 reads "--timeout=" as "--timeout" and takes the next word, often
// PROGRAM, as the value. Returns the first such option before PROGRAM, or "".
std::string emptyAssignment(int argc, char **argv, const CLI::App &app)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--" || arg.size() < 3 || arg.substr(0, 2) != "--")
            break;
        const size_t eq = arg.find('=');
        const CLI::Option *option = app.get_option_no_throw(std::string(arg.substr(0, eq)));
        if (eq == arg.size() - 1 && option)
            return std::string(arg.substr(0, eq));
        if (eq == std::string_view::npos && option && option->get_items_expected_min() > 0)
            ++i; // its value
    }
    return "";
}

// What the options give as text, for numbers parsed here strictly: CLI11
// would wrap "-3" into a count.
struct OptionTexts {
    std::vector<std::string> injections;
    std::string chunk, maxInsns, timeout, gdbPort;
};

void declareOptions(CLI::App &app, Options &o, OptionTexts &t)
{
    app.add_option("--root", o.root, "Folder that is the guest's /")->check(CLI::ExistingDirectory);
    app.add_flag("--trace", o.trace, "One line per kernel call on standard error");
    app.add_option("--inject", t.injections,
                   "The Nth call named NAME (every one without @N) is not performed and returns RESULT")
        ->type_name("NAME[@N]=RESULT")
        ->allow_extra_args(false);
    app.add_option("--write-chunk", t.chunk, "The console accepts at most N bytes per write")->type_name("N");
    app.add_option("--max-insns", t.maxInsns, "Stop the guest after N instructions (status 124; emulation only)")
        ->type_name("N");
    app.add_option("--timeout", t.timeout, "Stop the guest after SECONDS (status 124)")->type_name("SECONDS");
    app.add_flag("--count", o.count,
                 "Print the number of guest instructions executed on standard error (emulation only)");
    addVersionFlag(app, "zylos-run", "CPU emulator: Unicorn " ZYLOS_UNICORN_VERSION);
    app.add_flag("--native", o.native,
                 "Run the guest in a KVM virtual machine at the host CPU's speed instead of emulating it "
                 "(needs /dev/kvm; no --count, --max-insns, --gdb or --profile)");
    app.add_option("--gdb", t.gdbPort, "Wait for gdb on 127.0.0.1:PORT before the first instruction (emulation only)")
        ->type_name("PORT");
    app.add_option("--profile", o.profile,
                   "Write the guest instructions executed per call stack to FILE (folded stacks, at most "
                   "512 frames deep), once the run has started (emulation only)")
        ->type_name("FILE");
}

// 0, or the status of a usage error about a value or a combination.
int checkValues(const CLI::App &app, const OptionTexts &t, Options &o)
{
    // Given but empty is an error like any other bad number, not an absence.
    const auto given = [&](const char *name) { return app.count(name) > 0; };
    if (given("--write-chunk") && (!parseNumber(t.chunk, o.writeChunk) || o.writeChunk == 0))
        return usageError("--write-chunk takes a positive count");
    if (given("--max-insns") && (!parseNumber(t.maxInsns, o.maxInsns) || o.maxInsns == 0))
        return usageError("--max-insns takes a positive count");
    if (given("--timeout") && (!parseNumber(t.timeout, o.timeout) || !(o.timeout > 0 && o.timeout <= kMaxTimeout)))
        return usageError("--timeout takes a number of seconds above 0 and at most 10000000");
    if (given("--gdb") && (!parseNumber(t.gdbPort, o.gdbPort) || o.gdbPort == 0))
        return usageError("--gdb takes a TCP port from 1 to 65535");
    if (given("--profile") && o.profile.empty())
        return usageError("--profile takes a file name");
    if (o.native && (o.gdbPort || !o.profile.empty()))
        return usageError("--gdb and --profile need the emulator: --native runs the guest's instructions unobserved");
    if (o.native && (o.count || o.maxInsns))
        return usageError("--count and --max-insns need the emulator: instructions are not counted with --native");
    for (const std::string &text : t.injections) {
        Injection i;
        if (const std::string error = parseInjection(text, i); !error.empty())
            return usageError("--inject " + text + ": " + error);
        o.injections.push_back(i);
    }
    return 0;
}

// PROGRAM and its arguments: 0, or the status of a usage error.
int takeCommand(const CLI::App &app, Options &o)
{
    o.command = app.remaining();
    if (!o.command.empty() && o.command[0] == "--")
        o.command.erase(o.command.begin());
    if (o.command.empty())
        return usageError("no PROGRAM given");
    if (o.command[0].empty() || o.command[0][0] == '-')
        return usageError("unknown option or bad PROGRAM '" + o.command[0] + "'");
    return 0;
}

} // namespace

std::variant<Options, int> parseOptions(int argc, char **argv)
{
    Options o;
    OptionTexts texts;
    CLI::App app{"Runs a zylos executable on this host, playing the zylos kernel for it.", "zylos-run"};
    app.prefix_command();
    app.formatter(std::make_shared<UsageFormatter>());
    app.footer(footer());
    declareOptions(app, o, texts);
    if (const std::string option = emptyAssignment(argc, argv, app); !option.empty())
        return usageError(option + "= needs a value");
    if (const std::optional<int> status = parseCommandLine(app, argc, argv))
        return *status;
    if (int status = checkValues(app, texts, o))
        return status;
    if (int status = takeCommand(app, o))
        return status;
    return o;
}

} // namespace zylos
