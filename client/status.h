#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

// Outcomes of the client library. Nothing here throws: every call that can fail returns a
// Status, or a Result that holds either its value or the Status that says why there is none.
namespace tessel {

// What kind of failure a Status stands for, for callers that react differently to each.
enum class ErrorKind {
  kNone,
  kSystem,       // a system call failed; the message carries the error text
  kNotFound,     // the worker executable cannot be found
  kWorkerEnded,  // the worker ended (or was ended); the session is over
  kTimedOut,     // the worker did not answer in time; it has been killed, the session is over
  kRefused,      // the worker answered the command with Result 0
  kBadOutput,    // the worker wrote output fields that do not describe a valid block set
  kBadInput,     // the caller's input cannot be sent
  kNotRunning,   // the session has not been started, or has ended
  kSandboxUnavailable,  // the worker cannot be confined as the options require
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  bool Ok() const { return kind_ == ErrorKind::kNone; }
  explicit operator bool() const { return Ok(); }
  ErrorKind Kind() const { return kind_; }
  // A sentence a user can act on; empty for success.
  const std::string& Message() const { return message_; }

 private:
  ErrorKind kind_ = ErrorKind::kNone;
  std::string message_;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Status error) : error_(std::move(error)) { assert(!error_.Ok()); }  // NOLINT

  bool Ok() const { return value_.has_value(); }
  explicit operator bool() const { return Ok(); }
  const Status& Error() const { return error_; }

  T& Value() & { return *value_; }
  const T& Value() const& { return *value_; }
  T&& Value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  Status error_;
};

}  // namespace tessel
