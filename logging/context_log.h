#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "logformat/log_arg.h"
#include "logging/logger.h"

namespace tessel {

// The service's log helpers: every line carries the service's log context ("[<session>] "),
// except the verbose channel lines, which carry none and are written only while the service's
// debug switch is on.
class CContextLog {
 public:
  explicit CContextLog(bool verbose, CLogger& logger = CLogger::Instance())
      : logger_(logger), verbose_(verbose) {}
  CContextLog(const CContextLog&) = delete;
  CContextLog& operator=(const CContextLog&) = delete;

  void SetContext(std::string context) { context_ = std::move(context); }
  const std::string& Context() const { return context_; }
  bool VerboseEnabled() const { return verbose_; }
  CLogger& Logger() const { return logger_; }

  void Write(LogLevel level, const char* format) const {
    logger_.LogContext(level, context_.c_str(), format);
  }
  template <size_t N>
  void Write(LogLevel level, const char* format, LogArg (&&args)[N]) const {
    logger_.LogContext(level, context_.c_str(), format, args, N);
  }

  void Verbose(LogLevel level, const char* format) const {
    if (verbose_) logger_.LogContext(level, "", format);
  }
  template <size_t N>
  void Verbose(LogLevel level, const char* format, LogArg (&&args)[N]) const {
    if (verbose_) logger_.LogContext(level, "", format, args, N);
  }

 private:
  CLogger& logger_;
  bool verbose_;
  std::string context_;
};

}  // namespace tessel
