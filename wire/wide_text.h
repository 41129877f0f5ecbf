#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "wire/block_set.h"

// Names and folders cross the wire as NUL-terminated little-endian UTF-16.
namespace tessel {

// `text` and a NUL as little-endian UTF-16 bytes.
std::vector<std::byte> WideTextBytes(std::u16string_view text);

// The text up to the first NUL of `block`, copied out before it is looked at, so the text checked
// is the text used. False for a block without a NUL and for one of an odd size: a half unit is no
// text, and guessing what the peer meant by it is not ours to do.
bool ReadWideText(Block block, std::u16string& text);

}  // namespace tessel
