#pragma once

#include <cstdarg>
#include <cstdio>

#include "codec/tessel_codec.h"

namespace tessel::codec {

// Fills both error texts of a descriptor; both are cut to fit and always NUL-terminated.
[[gnu::format(printf, 3, 4)]] inline void SetError(ImageDescriptor* descriptor, const char* source,
                                                   const char* format, ...) {
  if (descriptor == nullptr) return;
  std::snprintf(descriptor->ErrorSource, sizeof descriptor->ErrorSource, "%s", source);
  va_list args;
  va_start(args, format);
  std::vsnprintf(descriptor->ErrorMessage, sizeof descriptor->ErrorMessage, format, args);
  va_end(args);
}

inline void ClearError(ImageDescriptor* descriptor) {
  descriptor->ErrorSource[0] = '\0';
  descriptor->ErrorMessage[0] = '\0';
}

}  // namespace tessel::codec
