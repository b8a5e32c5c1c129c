// One run of a zylos executable: load, run under the kernel model, report.
#pragma once

#include "runner/kernel/root_dir.h"
#include "runner/options.h"

#include <string>
#include <vector>

namespace zylos {

// The default root: share/zylos/root beside an installed runner, else the
// build's own root.
std::string defaultRoot();

// Reads PROGRAM (a host path when it has a '/', else ROOT/bin/NAME). Returns
// 0, or the runner's exit status after printing why.
int readProgram(const std::string &program, const RootDir &root, std::vector<uint8_t> &out);

// Runs the guest and returns the runner's exit status.
int runGuest(const Options &o);

} // namespace zylos
