#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Path texts are UTF-8. Both '/' and '\' separate components and a ':' ends a drive, so that
// names which arrive from clients on other systems split the same way; appended separators are
// the native '/'.
namespace tessel {

// Long-path prefixing has no counterpart on Linux; this stays the one place where it would live.
std::string ToLongPath(std::string_view path, size_t limit);

std::string ExtractFilePath(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ExtractFileExt(std::string_view path);
std::string ExtractFileDrive(std::string_view path);
std::string IncludeTrailingSeparator(std::string_view path);
std::string ExcludeTrailingSeparator(std::string_view path);
bool IsSeparator(char c);

}  // namespace tessel
