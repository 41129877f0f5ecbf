#pragma once

#include <string_view>

namespace tessel {

// There is no desktop to show a modal box on: the caption and the text go to standard error,
// one line each, in a single write so that lines of several processes do not interleave.
// Never blocks.
void ShowMessageBox(std::string_view caption, std::string_view text);

}  // namespace tessel
