/* The codec library libTessel.so: PNG and SVG decoding behind six C entry points.
 *
 * Pixels are 8-bit BGRA with premultiplied alpha, rows packed (stride = width * 4).
 * Every "bool" result is one byte: nonzero means success. Memory that crosses the boundary is
 * malloc() memory: the PNG pixels are released by the caller with free(), and a RasterAllocator
 * must hand out blocks that free() releases.
 * The entry points may be called from any thread. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "wire/image_descriptor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Returns a block of `size` bytes that free() releases, or null when there is none. */
typedef void* (*RasterAllocator)(uint32_t size);

/* The largest raster the codec produces: width * height * 4 must fit in 32 bits. */
#define TESSEL_CODEC_MAX_PIXEL_BYTES 0xFFFFFFFFull

/* Decodes a PNG image of any colour type, bit depth and interlacing. On success fills Width and
 * Height, stores a malloc()ed block of Width * Height * 4 bytes in *pixels (the caller free()s
 * it) and its size in *pixelsSize. On failure *pixels is null and the descriptor's error texts
 * say why; images whose pixels would exceed TESSEL_CODEC_MAX_PIXEL_BYTES are refused before
 * anything is allocated for them. */
uint8_t TesselLoadPNG(const void* data, uint32_t length, ImageDescriptor* descriptor, void** pixels,
                      uint32_t* pixelsSize);

/* Prepares the SVG side. Returns nothing; calling it is optional and it may be called again.
 * The SVG side (librsvg and cairo) lives in libTesselSvg.so, in the folder of libTessel.so, and is
 * loaded at the first SVG call, not here. When it cannot be loaded, the SVG loads fail with the
 * ErrorSource "SVG library" and an ErrorMessage that names the file and the loader's reason. */
void TesselInitSVG(void);

/* Opens the SVG file at the UTF-8 path. The codec reads the bytes itself; the document never
 * loads other files or URLs. On success fills Width, Height (the natural size: the document's
 * size at 96 dpi, else its viewBox, else 100 x 100), VectorFlag = 1 and SvgHandle. */
uint8_t TesselLoadSVG(const char* utf8Path, ImageDescriptor* descriptor);

/* Renders the document at exactly width x height into one block from `allocator`, fitting it as
 * its preserveAspectRatio says. Returns the block, or null for an unknown handle, a zero size, a
 * size whose width * height * 4 does not fit in 32 bits, a width over 536870911 (a row of more
 * than 2^31 bytes), no memory or a failed rendering (the block is then freed). No reason is
 * returned; `allocator` is called once, after the handle and the size have been accepted and
 * before anything is drawn, so a caller can tell those three kinds of failure apart. */
void* TesselGetSGVBuffer(uint32_t handle, uint32_t width, uint32_t height,
                         RasterAllocator allocator);

/* Releases the document. 0 and unknown handles are accepted and ignored. */
void TesselFreeSVG(uint32_t handle);

/* As TesselLoadSVG, from `length` bytes in memory (plain or gzip-compressed SVG). */
uint8_t TesselLoadSVGFromData(const void* data, uint32_t length, ImageDescriptor* descriptor);

#ifdef __cplusplus
}
#endif
