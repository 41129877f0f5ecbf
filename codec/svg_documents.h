#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "codec/tessel_codec.h"

typedef struct _RsvgHandle RsvgHandle;

namespace tessel::codec {

// One parsed SVG document. librsvg handles must not be used by two threads at once, so
// rendering is serialised per document.
class CSvgDocument {
 public:
  explicit CSvgDocument(RsvgHandle* handle);
  CSvgDocument(const CSvgDocument&) = delete;
  CSvgDocument& operator=(const CSvgDocument&) = delete;
  ~CSvgDocument();

  // Parses `length` bytes with no base location, so the document cannot reach other files or
  // URLs. Returns null and fills the descriptor's error texts on failure.
  static std::unique_ptr<CSvgDocument> Parse(const uint8_t* data, size_t length,
                                             ImageDescriptor* descriptor);

  // The size in pixels at 96 dpi, else the viewBox size, else 100 x 100. False (with error
  // texts) when that size is zero or does not fit in 32 bits.
  bool NaturalSize(uint32_t* width, uint32_t* height, ImageDescriptor* descriptor) const;

  // Renders into one zeroed block from `allocator`; null on a refused size or any failure.
  void* Render(uint32_t width, uint32_t height, RasterAllocator allocator);

 private:
  bool RenderTile(uint8_t* raster, uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                  uint32_t tileWidth, uint32_t tileHeight);

  std::mutex renderLock_;
  RsvgHandle* handle_;
};

// The open documents under 32-bit handles; 0 is never handed out.
class CSvgTable {
 public:
  static CSvgTable& Instance();

  // Returns the new handle, or 0 when all 2^32 - 1 handles are in use.
  uint32_t Add(std::shared_ptr<CSvgDocument> document);
  std::shared_ptr<CSvgDocument> Find(uint32_t handle);
  void Remove(uint32_t handle);

 private:
  std::mutex lock_;
  std::unordered_map<uint32_t, std::shared_ptr<CSvgDocument>> documents_;
  uint32_t next_ = 1;
};

// Reads and parses an SVG file, or fills the error texts.
std::unique_ptr<CSvgDocument> ParseSvgFile(const char* utf8Path, ImageDescriptor* descriptor);

}  // namespace tessel::codec
