#pragma once

#include "tessel/export.h"

#define TESSEL_VERSION_MAJOR 0
#define TESSEL_VERSION_MINOR 1
#define TESSEL_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

// The version of the library the program runs with, "MAJOR.MINOR.PATCH"; it may be newer than
// the one the program was built against (the TESSEL_VERSION_* macros).
TESSEL_API const char* tessel_version(void);

#ifdef __cplusplus
}
#endif
