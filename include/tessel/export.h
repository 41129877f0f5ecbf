#pragma once

// What libtessel-client exports: the library is built with hidden visibility, so only what is
// marked here is part of its ABI. The static library and the project's own targets need nothing.
#if defined(TESSEL_BUILDING_SHARED_LIBRARY)
#define TESSEL_API __attribute__((visibility("default")))
#else
#define TESSEL_API
#endif
