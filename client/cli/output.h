#pragma once

#include <string>

#include "client/cli/png_file.h"

namespace tessel::cli {

// Writes `image` as a PNG file at `target`. A regular file (new, or replacing one of that name)
// is written to a temporary file beside it, synced, and renamed over the target only when it is
// whole: a failed write leaves the old file as it was and nothing else. "-" is standard output;
// a device, FIFO or socket is written as the stream it is. `error` says why a write failed, with
// the system's reason.
bool WriteOutput(const std::string& target, const CPixels& image, std::string& error);

}  // namespace tessel::cli
