/* The image descriptor that client, worker and codec exchange, the source kinds of a Load, and
 * the size of a decoded raster. Plain C and header-only: the codec library includes it and links
 * no code of ours. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* 360 bytes, little-endian, no padding: the record that client, worker and codec exchange. */
typedef struct ImageDescriptor {
  uint32_t Width;       /* natural width in pixels, filled by the codec */
  uint32_t Height;      /* natural height in pixels, filled by the codec */
  uint32_t TargetWidth; /* size an SVG image is rendered at; not read by the codec */
  uint32_t TargetHeight;
  uint64_t Id;         /* the client's key; not touched by the codec */
  uint32_t VectorFlag; /* 1 after a successful SVG load, 0 after a PNG load */
  uint32_t SvgHandle;  /* handle of the opened SVG document; 0 is never valid */
  uint32_t Reserved1;
  uint32_t Reserved2;
  char ErrorSource[64];   /* on failure: which stage failed, NUL-terminated */
  char ErrorMessage[256]; /* on failure: what went wrong, NUL-terminated */
} ImageDescriptor;
#pragma pack(pop)

#ifdef __cplusplus
#define TESSEL_CODEC_STATIC_ASSERT(expr) static_assert(expr, #expr)
#else
#define TESSEL_CODEC_STATIC_ASSERT(expr) _Static_assert(expr, #expr)
#endif
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, Width) == 0);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, Height) == 4);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, TargetWidth) == 8);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, TargetHeight) == 12);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, Id) == 16);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, VectorFlag) == 24);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, SvgHandle) == 28);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, Reserved1) == 32);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, Reserved2) == 36);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, ErrorSource) == 40);
TESSEL_CODEC_STATIC_ASSERT(offsetof(ImageDescriptor, ErrorMessage) == 104);
TESSEL_CODEC_STATIC_ASSERT(sizeof(ImageDescriptor) == 360);
#undef TESSEL_CODEC_STATIC_ASSERT

/* Stores width * height * 4, the bytes of a raster of 8-bit BGRA pixels, in *bytes (saturated at
 * UINT64_MAX instead of wrapping) and returns nonzero when that is at most `limit`. */
static inline int TesselRasterBytes(uint32_t width, uint32_t height, uint64_t limit,
                                    uint64_t* bytes) {
  const uint64_t area = (uint64_t)width * height;
  *bytes = area > UINT64_MAX / 4 ? UINT64_MAX : area * 4;
  return *bytes <= limit;
}

#ifdef __cplusplus
}

namespace tessel {

// Block 1 of a Load: where the image comes from. A file is read by the worker from the path in
// block 3; bytes come in block 4, their length in block 5.
enum SourceKind : uint32_t {
  kSourceBytes = 0,
  kSourceFile = 1,
};

}  // namespace tessel
#endif
