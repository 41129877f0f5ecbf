#include "foundation/errors.h"

#include <cerrno>
#include <cstring>

namespace tessel {

std::string SystemMessageText(int code) {
  char buffer[1024];
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof(buffer));
  if (text == nullptr) return std::string();
  std::string message(text);
  while (!message.empty() &&
         (message.back() == '.' || static_cast<unsigned char>(message.back()) <= 32)) {
    message.pop_back();
  }
  return message;
}

std::string DescribeError(int code) {
  std::string text = std::to_string(code);
  if (code != 0) {
    text += ", ";
    text += SystemMessageText(code);
  }
  return text;
}

std::string DescribeLastError() {
  int code = errno;
  std::string text = DescribeError(code);
  errno = code;
  return text;
}

}  // namespace tessel
