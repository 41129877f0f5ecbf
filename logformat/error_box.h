#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "logformat/log_arg.h"

namespace tessel {

// Shows a formatted failure message in an error box ("Error , PID <pid>" caption) instead of the
// log: its first user is the logger itself, while it is still starting. The first 1024 bytes of
// the message come from the box's own buffer, kept between reports.
class CErrorBox {
 public:
  static constexpr size_t kBufferSize = 1024;

  void Report(const char* format, LogArg* args, uint32_t count);

 private:
  std::unique_ptr<char[]> buffer_;
  bool busy_ = false;
};

}  // namespace tessel
