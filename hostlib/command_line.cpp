#include "hostlib/command_line.h"

#include <iostream>

namespace zylos {

void addVersionFlag(CLI::App &app, const std::string &tool, const std::string &details)
{
    app.set_version_flag("--version", tool + " (zylos) " + ZYLOS_VERSION + (details.empty() ? "" : "\n" + details));
}

std::optional<int> parseCommandLine(CLI::App &app, int argc, char **argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion &e) {
        std::cout << e.what() << "\n";
        return 0;
    } catch (const CLI::ParseError &e) {
        return usageError(app.get_name(), e.what());
    }
    return std::nullopt;
}

int usageError(const std::string &tool, const std::string &message)
{
    std::cerr << tool << ": " << message << " (see --help)\n";
    return kStatusUsage;
}

} // namespace zylos
