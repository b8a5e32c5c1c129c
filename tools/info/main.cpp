// zylos-info: prints the command and package records of zylos executables.
#include "hostlib/command_line.h"
#include "hostlib/escaped_text.h"
#include "hostlib/whole_file.h"
#include "records.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace {

using zylos::info::Records;

std::string jsonString(const std::string &s)
{
    return '"' + zylos::jsonText(s) + '"';
}

// Names and texts come from the file and may hold anything: each is shown
// escaped, so that no byte of it reaches the terminal as a control.
void printText(const std::string &path, const Records &r)
{
    std::cout << zylos::escapedText(path) << ":\n"
              << "  description: " << zylos::escapedText(r.command.fields[0]) << "\n"
              << "  example:     " << zylos::escapedText(r.command.fields[1]) << "\n"
              << "  package:     " << zylos::escapedText(r.package.fields[0]) << "\n"
              << "  field 2:     " << zylos::escapedText(r.package.fields[1]) << "\n";
}

std::string jsonObject(const std::string &path, const Records &r)
{
    return "{\"path\": " + jsonString(path) + ", \"description\": " + jsonString(r.command.fields[0]) +
           ", \"example\": " + jsonString(r.command.fields[1]) + ", \"package\": " + jsonString(r.package.fields[0]) +
           ", \"field2\": " + jsonString(r.package.fields[1]) + "}";
}

// The file's bytes, refused as the runner refuses a program: anything but a
// regular file (a fifo is never waited on) and anything over its size limit.
std::vector<uint8_t> readProgram(const std::string &path)
{
    std::vector<uint8_t> bytes;
    const int r = zylos::readWholeFile(path, bytes);
    if (r == -ENXIO)
        throw std::runtime_error("not a regular file");
    if (r == -EFBIG)
        throw std::runtime_error("too large for a zylos executable");
    if (r < 0)
        throw std::runtime_error(std::strerror(-r));
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Prints the command and package records (.zylos.cmdmeta, .zylos.pkgmeta) of zylos "
                 "executables without running them.",
                 "zylos-info"};
    bool json = false;
    std::vector<std::string> programs;
    app.add_flag("--json", json,
                 "print one JSON array of objects with the fields path, description, "
                 "example, package, field2");
    app.add_option("PROGRAM", programs, "zylos executables to read")->required();
    zylos::addVersionFlag(app, "zylos-info");
    app.footer("Exit status: 0 every record read; 1 a file or its records could not be read; 125 usage error.");
    if (const std::optional<int> status = zylos::parseCommandLine(app, argc, argv))
        return *status;

    int status = 0;
    std::vector<std::string> objects;
    for (const std::string &path : programs) {
        try {
            const Records records = zylos::info::readRecords(readProgram(path));
            if (json)
                objects.push_back(jsonObject(path, records));
            else
                printText(path, records);
        } catch (const std::exception &e) {
            std::cerr << "zylos-info: " << zylos::escapedText(path) << ": " << e.what() << "\n";
            status = 1;
        }
    }
    if (json) {
        std::cout << "[";
        for (std::size_t i = 0; i < objects.size(); ++i)
            std::cout << (i ? ",\n " : "") << objects[i];
        std::cout << "]\n";
    }
    return status;
}
