#include "client/message.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tessel::client_detail {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

std::string DescribeErrno(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in `buffer`.
  const char* text = ::strerror_r(code, buffer, sizeof(buffer));
  std::string description = Format("%d, %s", code, text);
  while (!description.empty() && (description.back() == '.' || description.back() == ' '))
    description.pop_back();
  return description;
}

}  // namespace tessel::client_detail
