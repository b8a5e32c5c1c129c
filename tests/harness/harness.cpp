#include "guest.h"

namespace zylos::test {

Guest &drapeGuest()
{
    static Guest instance(ZYLOS_DRAPE_PATH);
    instance.reset();
    return instance;
}

std::string programPath(const std::string &name) { return std::string(ZYLOS_TEST_PROGRAMS_DIR) + "/" + name; }

RunResult runProgram(std::vector<std::string> argv, const std::string &stdinBytes)
{
    argv.insert(argv.begin(), ZYLOS_RUN_PATH);
    return runCommand(argv, {stdinBytes});
}

std::string backendName(Backend b) { return b == Backend::Native ? "native" : "emulated"; }

std::vector<std::string> withBackend(Backend b, std::vector<std::string> argv)
{
    if (b == Backend::Native)
        argv.insert(argv.begin(), "--native");
    return argv;
}

const std::string &backendUnavailable(Backend b)
{
    static const std::string none;
    static const std::string native = [] {
        const RunResult r = runProgram({"--native", programPath("probe"), "exit", "0"});
        return r.status == 125 && r.err.find("not available on this host") != std::string::npos ? r.err : "";
    }();
    return b == Backend::Native ? native : none;
}

const std::string &withoutX87(Backend b)
{
    static const std::string none;
    static const std::string native = [] {
        const RunResult r = runProgram({"--native", programPath("probe"), "fpu"});
        return r.status == 0 ? "" : "no x87 in this host's KVM: " + r.err;
    }();
    return b == Backend::Native ? native : none;
}

} // namespace zylos::test
