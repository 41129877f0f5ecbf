#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "client/png_header.h"

// A PNG file's header read from the file, so that `tessel info` need not send gigabytes through a
// worker to print two numbers.
namespace tessel::cli {

// The parser is the client library's (client/png_header.h); the tool adds reading a file.
using tessel::kPngHeaderSize;
using tessel::ParsePngHeader;
using tessel::PngHeader;

// The header of the regular file at `path`, read from its first bytes; nothing when it is not a
// regular file, cannot be read or has no valid header. Never blocks on a FIFO.
std::optional<PngHeader> ReadPngHeader(const std::string& path);

// "8-bit RGBA", "1-bit grey, interlaced", "4-bit palette", ...
std::string DescribePngFormat(const PngHeader& header);

}  // namespace tessel::cli
