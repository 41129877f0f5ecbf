#include "foundation/path.h"

namespace tessel {

namespace {

constexpr std::string_view kDelimiters = "/\\:";

size_t LastDelimiter(std::string_view path) {
  return path.find_last_of(kDelimiters);
}

}  // namespace

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

std::string ToLongPath(std::string_view path, size_t /*limit*/) {
  return std::string(path);
}

std::string ExtractFilePath(std::string_view path) {
  size_t at = LastDelimiter(path);
  if (at == std::string_view::npos) return std::string();
  std::string folder(path.substr(0, at + 1));
  // "D:name" names a file in the drive's current folder; its folder is the drive itself.
  if (path[at] == ':') folder += '/';
  return folder;
}

std::string ExtractFileName(std::string_view path) {
  size_t at = LastDelimiter(path);
  if (at == std::string_view::npos) return std::string(path);
  return std::string(path.substr(at + 1));
}

std::string ExtractFileExt(std::string_view path) {
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  size_t at = LastDelimiter(path);
  if (at != std::string_view::npos && at > dot) return std::string();
  return std::string(path.substr(dot));
}

std::string ExtractFileDrive(std::string_view path) {
  size_t end = path.find_first_of("/\\");
  if (end == std::string_view::npos) return std::string();
  std::string_view first = path.substr(0, end + 1);
  if (first.find(':') == std::string_view::npos) return std::string();
  return std::string(first);
}

std::string IncludeTrailingSeparator(std::string_view path) {
  std::string result(path);
  if (!result.empty() && !IsSeparator(result.back())) result += '/';
  return result;
}

std::string ExcludeTrailingSeparator(std::string_view path) {
  if (!path.empty() && IsSeparator(path.back())) path.remove_suffix(1);
  return std::string(path);
}

}  // namespace tessel
