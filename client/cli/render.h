#pragma once

#include <string>

#include "client/cli/command_line.h"

namespace tessel::cli {

// `tessel render`: every INPUT into a PNG file through a pool of line.jobs workers (a new one
// after a worker ends); messages, in input order, and the summary go to standard error. Returns
// the exit status; after a signal it kills the workers, removes what is unfinished and says how
// many were done.
int Render(const CommandLine& line, const std::string& workerPath);

}  // namespace tessel::cli
