#include "runner/options.h"
#include "runner/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>

namespace {

// Started with 0, 1 or 2 closed, the runner would hand that number to the
// first file it opens, and its own output would land in a guest's file.
void occupyStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) < 0)
            std::_Exit(zylos::kStatusRunnerError);
}

} // namespace

int main(int argc, char **argv)
{
    occupyStandardDescriptors();
    // A closed standard output is reported to the guest as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const auto parsed = zylos::parseOptions(argc, argv);
        if (const int *status = std::get_if<int>(&parsed))
            return *status;
        return zylos::runGuest(std::get<zylos::Options>(parsed));
    } catch (const std::exception &e) {
        std::cerr << "zylos-run: " << e.what() << "\n";
        return zylos::kStatusRunnerError;
    }
}
