#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Narrow text is UTF-8 (the "ANSI code page" of the worker); wide text is UTF-16.
namespace tessel {

// Invalid UTF-8 becomes U+FFFD instead of ending the process.
std::u16string AnsiToWide(std::string_view text);
std::u16string AnsiTextToWide(const char* text);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view text);
std::string ToUpperHex(const void* bytes, size_t count);

// Built exactly once, also when first used from several threads at once.
const uint8_t* UpperCaseTable();
// How many times the table has been built: 0 before first use, 1 ever after.
uint32_t UpperCaseTableBuilds();

}  // namespace tessel
