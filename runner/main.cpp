#include "options.h"
#include "run.h"

#include <csignal>
#include <exception>
#include <iostream>

int main(int argc, char **argv)
{
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
