/* The C API of Tessel: PNG and SVG images decoded in confined worker processes, for C programs
 * and for bindings of other languages. The same as the C++ API (tessel/tessel.hpp), with opaque
 * handles. Every function may be called from any thread. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tessel/export.h"
#include "tessel/version.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum tessel_error {
  TESSEL_OK = 0,
  TESSEL_ERROR_NOT_FOUND = 1,          /* the image file, or the worker program, does not exist */
  TESSEL_ERROR_UNSUPPORTED_FORMAT = 2, /* neither PNG nor SVG; no worker was asked */
  TESSEL_ERROR_CORRUPT_DATA = 3,       /* the decoder refused the image */
  TESSEL_ERROR_TOO_LARGE = 4,          /* over max_pixel_bytes or the worker's memory */
  TESSEL_ERROR_WORKER_CRASHED = 5,     /* the worker died decoding it; it is replaced */
  TESSEL_ERROR_TIMED_OUT = 6,          /* the worker did not answer in time and was killed */
  TESSEL_ERROR_CANCELLED = 7,
  TESSEL_ERROR_SANDBOX_UNAVAILABLE = 8, /* the worker cannot be confined as required */
  TESSEL_ERROR_INVALID_ARGUMENT = 9,
  TESSEL_ERROR_CLOSED = 10,
  TESSEL_ERROR_SYSTEM = 11
} tessel_error;

typedef enum tessel_format {
  TESSEL_FORMAT_AUTO = 0, /* as a request: tell it from the content */
  TESSEL_FORMAT_PNG = 1,
  TESSEL_FORMAT_SVG = 2
} tessel_format;

typedef enum tessel_alpha {
  TESSEL_ALPHA_PREMULTIPLIED = 0,
  TESSEL_ALPHA_STRAIGHT = 1
} tessel_alpha;

typedef enum tessel_confinement {
  TESSEL_CONFINEMENT_REQUIRE = 0,
  TESSEL_CONFINEMENT_BEST_EFFORT = 1,
  TESSEL_CONFINEMENT_OFF = 2
} tessel_confinement;

/* A loader: a pool of workers. Destroying it cancels what is queued, kills what runs and waits
 * for their callbacks (so never from a callback). */
typedef struct tessel_loader tessel_loader;
/* Decoded pixels the caller owns: 8-bit BGRA, rows packed, first row on top. */
typedef struct tessel_image tessel_image;
/* An asynchronous load, to cancel; released with tessel_load_release. */
typedef struct tessel_load tessel_load;

/* Filled with defaults by tessel_loader_options_init; zero means the default for each field. */
typedef struct tessel_loader_options {
  uint32_t workers;        /* 0: one per core */
  const char* worker_path; /* NULL: TESSEL_WORKER, else the library's own search */
  tessel_confinement confinement;
  uint64_t max_pixel_bytes; /* 0: 1 GiB; at most 4095 MiB */
  uint32_t timeout_ms;      /* 0: 30 s a decode */
  const char* log_folder;   /* NULL: a folder of Tessel's in TMPDIR */
} tessel_loader_options;

typedef struct tessel_load_options {
  uint32_t width; /* SVG only; 0: natural size on that side */
  uint32_t height;
  tessel_alpha alpha;
  tessel_format format; /* TESSEL_FORMAT_AUTO: sniffed */
} tessel_load_options;

typedef struct tessel_image_info {
  tessel_format format;
  uint32_t width; /* natural size */
  uint32_t height;
} tessel_image_info;

/* The outcome of an asynchronous load, called once: `image` (NULL on failure) is the callee's to
 * destroy; `message` is valid during the call only. */
typedef void (*tessel_callback)(void* user, tessel_error error, tessel_image* image,
                                const char* message);

TESSEL_API void tessel_loader_options_init(tessel_loader_options* options);
TESSEL_API void tessel_load_options_init(tessel_load_options* options);

/* `options` may be NULL (defaults). Workers start at the first load. */
TESSEL_API tessel_error tessel_loader_create(const tessel_loader_options* options,
                                             tessel_loader** loader);
TESSEL_API void tessel_loader_destroy(tessel_loader* loader);

/* Synchronous loads; `options` may be NULL. On failure *image is NULL and
 * tessel_last_error_message() says why. A descriptor is read from its offset to its end and left
 * open. */
TESSEL_API tessel_error tessel_load_file(tessel_loader* loader, const char* path,
                                         const tessel_load_options* options, tessel_image** image);
TESSEL_API tessel_error tessel_load_memory(tessel_loader* loader, const void* data, size_t size,
                                           const tessel_load_options* options,
                                           tessel_image** image);
TESSEL_API tessel_error tessel_load_fd(tessel_loader* loader, int fd,
                                       const tessel_load_options* options, tessel_image** image);

/* Asynchronous loads: the source is read (the bytes copied) before the call returns; `done` runs
 * on a loader thread, or on the thread that cancels a queued load. With `load` NULL no handle is
 * made; otherwise release the handle when done with it (releasing does not cancel). */
TESSEL_API tessel_error tessel_load_file_async(tessel_loader* loader, const char* path,
                                               const tessel_load_options* options,
                                               tessel_callback done, void* user,
                                               tessel_load** load);
TESSEL_API tessel_error tessel_load_memory_async(tessel_loader* loader, const void* data,
                                                 size_t size, const tessel_load_options* options,
                                                 tessel_callback done, void* user,
                                                 tessel_load** load);
/* A queued load never runs; a running one has its worker killed. Both end in
 * TESSEL_ERROR_CANCELLED; a finished one keeps its outcome. */
TESSEL_API void tessel_load_cancel(tessel_load* load);
TESSEL_API void tessel_load_release(tessel_load* load);

/* Format and natural size without the pixels (a PNG image's from its header). */
TESSEL_API tessel_error tessel_info_file(tessel_loader* loader, const char* path,
                                         tessel_image_info* info);
TESSEL_API tessel_error tessel_info_memory(tessel_loader* loader, const void* data, size_t size,
                                           tessel_image_info* info);

TESSEL_API uint32_t tessel_image_width(const tessel_image* image);
TESSEL_API uint32_t tessel_image_height(const tessel_image* image);
TESSEL_API size_t tessel_image_stride(const tessel_image* image);
TESSEL_API tessel_alpha tessel_image_alpha(const tessel_image* image);
TESSEL_API tessel_image_info tessel_image_get_info(const tessel_image* image);
/* height * stride bytes, valid until the image is destroyed. */
TESSEL_API const uint8_t* tessel_image_pixels(const tessel_image* image);
TESSEL_API void tessel_image_destroy(tessel_image* image);

/* Why this thread's last failed call failed; "" after a success. Valid until this thread's next
 * call. */
TESSEL_API const char* tessel_last_error_message(void);
/* A fixed name for a code: "corrupt data". */
TESSEL_API const char* tessel_error_name(tessel_error error);

#ifdef __cplusplus
}
#endif
