#pragma once

#include <string>

#include "client/cli/command_line.h"

namespace tessel::cli {

// `tessel check`: every PNG file under the folders decoded by the workers of a pool (line.jobs)
// and by libpng in the tool, and every SVG file with a reference image beside it rendered at the
// reference's size, each compared with the other. Prints the files that did not pass and a count
// of each outcome on standard output, progress on standard error, and writes the outcomes as
// JSON to line.jsonFile when given. Returns the exit status.
int Check(const CommandLine& line, const std::string& workerPath);

}  // namespace tessel::cli
