// What every zylos host tool's command line shares: "--version" prints
// "TOOL (zylos) VERSION", "--help" the help, and a usage error prints
// "TOOL: WHAT (see --help)" on standard error and exits 125.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace zylos {

inline constexpr int kStatusUsage = 125;

// A CLI11 app for tool, with its --version flag; details go on the lines
// after the version.
void addVersionFlag(CLI::App &app, const std::string &tool, const std::string &details = {});
// Parses argv: nothing to go on with, or the status to exit with at once
// (0 after --help or --version, 125 for a usage error, already printed).
std::optional<int> parseCommandLine(CLI::App &app, int argc, char **argv);
// Prints a usage error of tool; returns 125.
int usageError(const std::string &tool, const std::string &message);

} // namespace zylos
