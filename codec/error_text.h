#pragma once

#include <sys/resource.h>

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

// The cap on this process's address space in bytes; 0 when there is none. A confined worker has
// one, and running out of memory is then the cap's doing: the texts say so.
inline unsigned long long AddressSpaceLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return limit.rlim_cur;
}

inline void ClearError(ImageDescriptor* descriptor) {
  descriptor->ErrorSource[0] = '\0';
  descriptor->ErrorMessage[0] = '\0';
}

}  // namespace tessel::codec
