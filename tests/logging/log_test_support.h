#pragma once

#include <string>
#include <vector>

#include "logging/logger.h"

namespace tessel::test {

// A private log folder and mutex name for one test, removed again when the test ends.
class CLogSandbox {
 public:
  CLogSandbox();
  ~CLogSandbox();
  CLogSandbox(const CLogSandbox&) = delete;
  CLogSandbox& operator=(const CLogSandbox&) = delete;

  const std::string& Folder() const { return folder_; }
  const std::string& MutexName() const { return mutexName_; }
  LoggerOptions Options(bool banners = false) const;

  // The log files of the folder, sorted by name.
  std::vector<std::string> Files() const;
  std::string Read(const std::string& fileName) const;
  // All log files of the folder concatenated in name order.
  std::string ReadAll() const;

 private:
  std::string folder_;
  std::string mutexName_;
};

// Splits log text into records (each ends with an empty line) without their final "\r\n\r\n".
std::vector<std::string> SplitRecords(const std::string& text);

}  // namespace tessel::test
