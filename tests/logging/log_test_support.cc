#include "log_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/named_mutex.h"

namespace tessel::test {
namespace fs = std::filesystem;

CLogSandbox::CLogSandbox() {
  std::string pattern = (fs::temp_directory_path() / "tessel-log-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  folder_ = pattern + "/";
  static std::atomic<int> counter{0};
  mutexName_ = "tessel-test-log-mutex-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++);
}

CLogSandbox::~CLogSandbox() {
  CNamedMutex::Remove(mutexName_);
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

LoggerOptions CLogSandbox::Options(bool banners) const {
  LoggerOptions options;
  options.mutexName = mutexName_;
  options.directory = folder_;
  options.banners = banners;
  return options;
}

std::vector<std::string> CLogSandbox::Files() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string CLogSandbox::Read(const std::string& fileName) const {
  std::ifstream in(folder_ + fileName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string CLogSandbox::ReadAll() const {
  std::string all;
  for (const auto& name : Files()) all += Read(name);
  return all;
}

std::vector<std::string> SplitRecords(const std::string& text) {
  std::vector<std::string> records;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n\r\n", start);
    if (end == std::string::npos) {
      records.push_back(text.substr(start));
      break;
    }
    records.push_back(text.substr(start, end - start));
    start = end + 4;
  }
  return records;
}

}  // namespace tessel::test
