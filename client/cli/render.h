#pragma once

#include <string>

#include "client/cli/command_line.h"

namespace tessel::cli {

// `tessel render`: every INPUT through one worker session (a new one after a worker ends) into
// a PNG file; messages and the summary go to standard error. Returns the exit status; after a
// signal it stops between images (or ends the one in progress), removes what is unfinished and
// says how many were done.
int Render(const CommandLine& line, const std::string& workerPath);

}  // namespace tessel::cli
