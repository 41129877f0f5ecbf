#include "tests/support/log_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tessel::test {

std::vector<std::string> LogFileNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.is_regular_file(error)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadLogs(const std::string& folder) {
  std::string all;
  for (const std::string& name : LogFileNames(folder)) {
    std::ifstream in(std::filesystem::path(folder) / name, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), {});
  }
  return all;
}

size_t CountInLogs(const std::string& folder, const std::string& text) {
  const std::string all = ReadLogs(folder);
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

std::vector<std::string> SplitRecords(const std::string& text) {
  std::vector<std::string> records;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find("\r\n\r\n", start);
    records.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 4;
  }
  return records;
}

}  // namespace tessel::test
