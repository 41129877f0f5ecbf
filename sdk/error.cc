#include <string_view>

#include "sdk/internal.h"

namespace tessel {
namespace {

bool Says(const std::string& text, std::string_view words) {
  return text.find(words) != std::string::npos;
}

// The worker refuses with its codec's words. Pixels over a limit and memory that ran out under
// the worker's cap are the image's size; anything else the decoder could not read is the data.
bool SaysTooLarge(const std::string& reason) {
  return Says(reason, "bytes of pixels; the limit is") || Says(reason, "out of memory") ||
         Says(reason, "not enough memory for the") || Says(reason, "size too large");
}

}  // namespace

const char* ErrorCodeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::kOk:
      return "ok";
    case ErrorCode::kNotFound:
      return "not found";
    case ErrorCode::kUnsupportedFormat:
      return "unsupported format";
    case ErrorCode::kCorruptData:
      return "corrupt data";
    case ErrorCode::kTooLarge:
      return "too large";
    case ErrorCode::kWorkerCrashed:
      return "worker crashed";
    case ErrorCode::kTimedOut:
      return "timed out";
    case ErrorCode::kCancelled:
      return "cancelled";
    case ErrorCode::kSandboxUnavailable:
      return "sandbox unavailable";
    case ErrorCode::kInvalidArgument:
      return "invalid argument";
    case ErrorCode::kClosed:
      return "closed";
    case ErrorCode::kSystem:
      return "system error";
  }
  return "unknown error";
}

LoadError ToError(const Status& status, bool cancelled) {
  const std::string& message = status.Message();
  switch (status.Kind()) {
    case ErrorKind::kNone:
      return LoadError();
    case ErrorKind::kRefused:
      return LoadError(SaysTooLarge(message) ? ErrorCode::kTooLarge : ErrorCode::kCorruptData,
                       message);
    case ErrorKind::kBadOutput:
      // The worker made the pixels but the region they need is over our limit.
      if (Says(message, "cannot be handed over"))
        return LoadError(ErrorCode::kTooLarge,
                         "the pixels are larger than LoaderOptions::maxPixelBytes");
      return LoadError(ErrorCode::kWorkerCrashed, "the worker answered out of turn: " + message);
    case ErrorKind::kWorkerEnded:
    case ErrorKind::kNotRunning:
      if (cancelled) return LoadError(ErrorCode::kCancelled, "the load was cancelled");
      if (Says(message, "pool is closed")) return LoadError(ErrorCode::kClosed, message);
      return LoadError(ErrorCode::kWorkerCrashed, message);
    case ErrorKind::kTimedOut:
      return LoadError(cancelled ? ErrorCode::kCancelled : ErrorCode::kTimedOut, message);
    case ErrorKind::kNotFound:
      return LoadError(ErrorCode::kNotFound, message);
    case ErrorKind::kSandboxUnavailable:
      return LoadError(ErrorCode::kSandboxUnavailable, message);
    case ErrorKind::kBadInput:
      return LoadError(ErrorCode::kInvalidArgument, message);
    case ErrorKind::kSystem:
      return LoadError(ErrorCode::kSystem, message);
  }
  return LoadError(ErrorCode::kSystem, message);
}

}  // namespace tessel
