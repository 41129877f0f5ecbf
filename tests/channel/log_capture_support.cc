#include "log_capture_support.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/named_mutex.h"

namespace tessel::test {

CLogCapture::CLogCapture() {
  static std::atomic<int> counter{0};
  mutexName_ = "ha-test-log-";
  mutexName_.append(std::to_string(::getpid())).append("-").append(std::to_string(counter++));
  LoggerOptions options;
  options.mutexName = mutexName_;
  options.directory = folder_.Path() + "/";
  options.banners = false;
  logger_ = std::make_unique<CLogger>(options);
}

CLogCapture::~CLogCapture() {
  logger_.reset();
  CNamedMutex::Remove(mutexName_);
}

std::string CLogCapture::Text() const {
  std::string all;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    all.append(text.str());
  }
  return all;
}

}  // namespace tessel::test

namespace tessel::test {

size_t CLogCapture::Count(const std::string& line) const {
  const std::string text = Text();
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

}  // namespace tessel::test
