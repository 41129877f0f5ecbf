#pragma once

#include <functional>
#include <string>

#include "client/cli/png_file.h"

namespace tessel::cli {

// Writes `image` as a PNG file at `target`. A regular file (new, or replacing one of that name)
// is written to a temporary file beside it, synced, and renamed over the target only when it is
// whole: a failed write leaves the old file as it was and nothing else. "-" is standard output;
// a device, FIFO or socket is written as the stream it is. `error` says why a write failed, with
// the system's reason.
bool WriteOutput(const std::string& target, const CPixels& image, std::string& error);

// The same for any content: `write` puts it onto the descriptor it is given, and on failure says
// why in its `error`.
using ContentWriter = std::function<bool(int fd, std::string& error)>;
bool WriteOutput(const std::string& target, const ContentWriter& write, std::string& error);

// Writes all of `text` onto `fd`; on failure `error` holds the system's reason.
bool WriteText(int fd, const std::string& text, std::string& error);

}  // namespace tessel::cli
