#include "platform/message_box.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessel {

namespace {

void WriteAll(const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(STDERR_FILENO, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
}

}  // namespace

void ShowMessageBox(std::string_view caption, std::string_view text) {
  // Fatal reports call this when memory may be gone, so no heap: a stack buffer for the usual
  // case and two writes for an oversized text.
  int saved = errno;
  char line[4096];
  size_t total = caption.size() + text.size() + 2;
  if (total <= sizeof(line)) {
    size_t at = 0;
    std::memcpy(line + at, caption.data(), caption.size());
    at += caption.size();
    line[at++] = '\n';
    std::memcpy(line + at, text.data(), text.size());
    at += text.size();
    line[at++] = '\n';
    WriteAll(line, at);
  } else {
    WriteAll(caption.data(), caption.size());
    WriteAll("\n", 1);
    WriteAll(text.data(), text.size());
    WriteAll("\n", 1);
  }
  errno = saved;
}

}  // namespace tessel
