// zylos-info: prints the command and package records of zylos executables.
#include "hostlib/command_line.h"
#include "hostlib/host_files.h"
#include "records.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

using zylos::info::Records;

std::string jsonString(const std::string &s)
{
    std::ostringstream out;
    out << '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out << '\\' << c;
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out << hex;
        } else
            out << c;
    }
    out << '"';
    return out.str();
}

void printText(const std::string &path, const Records &r)
{
    std::cout << path << ":\n"
              << "  description: " << r.command.fields[0] << "\n"
              << "  example:     " << r.command.fields[1] << "\n"
              << "  package:     " << r.package.fields[0] << "\n"
              << "  field 2:     " << r.package.fields[1] << "\n";
}

std::string jsonObject(const std::string &path, const Records &r)
{
    return "{\"path\": " + jsonString(path) + ", \"description\": " + jsonString(r.command.fields[0]) +
           ", \"example\": " + jsonString(r.command.fields[1]) + ", \"package\": " + jsonString(r.package.fields[0]) +
           ", \"field2\": " + jsonString(r.package.fields[1]) + "}";
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
            const auto bytes = zylos::readBytes(path);
            const Records records = zylos::info::readRecords(bytes);
            if (json)
                objects.push_back(jsonObject(path, records));
            else
                printText(path, records);
        } catch (const std::exception &e) {
            std::cerr << "zylos-info: " << path << ": " << e.what() << "\n";
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
