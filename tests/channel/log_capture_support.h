#pragma once

#include <memory>
#include <string>

#include "logging/logger.h"
#include "tests/foundation/temp_folder.h"

namespace tessel::test {

// A logger of the test's own, writing into a private folder under a private mutex, so that the
// lines a test expects can be read back.
class CLogCapture {
 public:
  CLogCapture();
  ~CLogCapture();
  CLogger& Logger() { return *logger_; }
  std::string Text() const;
  bool Has(const std::string& line) const { return Count(line) != 0; }
  size_t Count(const std::string& line) const;

 private:
  CTempFolder folder_;
  std::string mutexName_;
  std::unique_ptr<CLogger> logger_;
};

}  // namespace tessel::test
