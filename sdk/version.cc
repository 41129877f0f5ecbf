#include "tessel/version.h"

#define TESSEL_STRINGIFY2(x) #x
#define TESSEL_STRINGIFY(x) TESSEL_STRINGIFY2(x)

extern "C" const char* tessel_version(void) {
  return TESSEL_STRINGIFY(TESSEL_VERSION_MAJOR) "." TESSEL_STRINGIFY(
      TESSEL_VERSION_MINOR) "." TESSEL_STRINGIFY(TESSEL_VERSION_PATCH);
}
