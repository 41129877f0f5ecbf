#pragma once

#include <string>
#include <utility>

#include "tessel/export.h"

namespace tessel {

// Why a load failed. The numbers are those of the C API's tessel_error and never change.
enum class ErrorCode : int {
  kOk = 0,
  kNotFound = 1,            // the image file, or the worker program, does not exist
  kUnsupportedFormat = 2,   // the content is neither PNG nor SVG; no worker was asked
  kCorruptData = 3,         // the worker's decoder refused the image
  kTooLarge = 4,            // the pixels exceed LoaderOptions::maxPixelBytes or the worker's memory
  kWorkerCrashed = 5,       // the worker died while decoding; it is replaced for the next load
  kTimedOut = 6,            // the worker did not answer in time and was killed
  kCancelled = 7,           // PendingLoad::Cancel, or the loader was destroyed first
  kSandboxUnavailable = 8,  // the worker cannot be confined as LoaderOptions::confinement requires
  kInvalidArgument = 9,     // a bad option or source (an empty path, a size out of range, ...)
  kClosed = 10,             // the loader is shutting down
  kSystem = 11,             // the system refused (memory, a read error, a failed start, ...)
};

// A short fixed name of the code ("corrupt data"), for logs.
TESSEL_API const char* ErrorCodeName(ErrorCode code);

// The outcome of a load: a code and, on failure, a sentence that says why, often the worker's own
// reason. (Not `Error`: the library's internal log levels have that name in this namespace.)
class TESSEL_API LoadError {
 public:
  LoadError() = default;
  LoadError(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

  bool Ok() const { return code_ == ErrorCode::kOk; }
  // True on success: `if (LoadError e = loader.Load(...); !e) ...` handles a failure.
  explicit operator bool() const { return Ok(); }
  ErrorCode Code() const { return code_; }
  const std::string& Message() const { return message_; }

 private:
  ErrorCode code_ = ErrorCode::kOk;
  std::string message_;
};

}  // namespace tessel
