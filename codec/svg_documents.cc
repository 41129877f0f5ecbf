#include "codec/svg_documents.h"

#include <cairo.h>
#include <fcntl.h>
#include <librsvg/rsvg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/error_text.h"
#include "platform/unique_fd.h"

namespace tessel::codec {
namespace {

// Cairo's ARGB32 is a native-endian 32-bit word; on a little-endian machine its bytes are
// B, G, R, A with premultiplied alpha, which is exactly the raster layout handed out.
static_assert(std::endian::native == std::endian::little);

constexpr char kFileSource[] = "SVG file";
constexpr char kParserSource[] = "SVG parser";
constexpr char kDocumentSource[] = "SVG document";
constexpr double kDpi = 96.0;
constexpr uint32_t kDefaultSide = 100;
constexpr uint32_t kMaxTileSide = 32767;  // the largest image surface cairo creates
// Files no bigger than what could be handed over as data.
constexpr off_t kMaxFileBytes = 0xFFFFFFFF;

struct CGErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct CObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
struct CCairoDestroy {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
struct CSurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};

// librsvg's texts end with a line feed; the descriptor wants one line.
void SetGError(ImageDescriptor* descriptor, const char* source, const char* what,
               const GError* error) {
  std::string text = error != nullptr && error->message != nullptr ? error->message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "no reason given";
  SetError(descriptor, source, "%s: %s", what, text.c_str());
}

bool SizeToPixels(double value, uint32_t* pixels) {
  if (!std::isfinite(value) || value <= 0) return false;
  // The nearest whole pixel: rounding up would give an icon of 16.07 px a 17th row of almost
  // empty pixels. A sliver of a document still gets one pixel.
  const double rounded = std::floor(value + 0.5);
  if (rounded > static_cast<double>(UINT32_MAX)) return false;
  *pixels = std::max<uint32_t>(1, static_cast<uint32_t>(rounded));
  return true;
}

bool ReadWholeFile(const char* path, std::vector<uint8_t>* bytes, ImageDescriptor* descriptor) {
  // Non-blocking so that a FIFO is refused below instead of waiting for a writer.
  CUniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    SetError(descriptor, kFileSource, "cannot open the file (%s): %s", std::strerror(errno), path);
    return false;
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) {
    SetError(descriptor, kFileSource, "cannot read the file (%s): %s", std::strerror(errno), path);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    SetError(descriptor, kFileSource, "not a regular file: %s", path);
    return false;
  }
  if (info.st_size > kMaxFileBytes) {
    SetError(descriptor, kFileSource, "the file has %lld bytes; the limit is %lld: %s",
             static_cast<long long>(info.st_size), static_cast<long long>(kMaxFileBytes), path);
    return false;
  }
  bytes->resize(static_cast<size_t>(info.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t got = ::read(fd.Get(), bytes->data() + done, bytes->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetError(descriptor, kFileSource, "cannot read the file (%s): %s", std::strerror(errno),
               path);
      return false;
    }
    if (got == 0) break;  // shrank while being read: parse what is there
    done += static_cast<size_t>(got);
  }
  bytes->resize(done);
  return true;
}

}  // namespace

CSvgDocument::CSvgDocument(RsvgHandle* handle) : handle_(handle) {}

CSvgDocument::~CSvgDocument() {
  g_object_unref(handle_);
}

std::unique_ptr<CSvgDocument> CSvgDocument::Parse(const uint8_t* data, size_t length,
                                                  ImageDescriptor* descriptor) {
  if (length == 0) {
    SetError(descriptor, kParserSource, "the SVG data is empty (0 bytes); no image was given");
    return nullptr;
  }
  if (data == nullptr) {
    SetError(descriptor, kParserSource, "no data was given for an image of %zu bytes", length);
    return nullptr;
  }
  // The stream borrows the bytes: parsing is finished before this function returns.
  std::unique_ptr<GInputStream, CObjectUnref> stream(
      g_memory_input_stream_new_from_data(data, static_cast<gssize>(length), nullptr));
  GError* rawError = nullptr;
  // No base file: librsvg then refuses every reference other than data: URLs. The default
  // flags keep its limits on.
  RsvgHandle* handle = rsvg_handle_new_from_stream_sync(stream.get(), nullptr,
                                                        RSVG_HANDLE_FLAGS_NONE, nullptr, &rawError);
  std::unique_ptr<GError, CGErrorFree> error(rawError);
  if (handle == nullptr) {
    SetGError(descriptor, kParserSource, "the data is not a valid SVG document", error.get());
    return nullptr;
  }
  rsvg_handle_set_dpi(handle, kDpi);
  return std::make_unique<CSvgDocument>(handle);
}

bool CSvgDocument::NaturalSize(uint32_t* width, uint32_t* height,
                               ImageDescriptor* descriptor) const {
  double w = 0;
  double h = 0;
  if (!rsvg_handle_get_intrinsic_size_in_pixels(handle_, &w, &h)) {
    gboolean hasViewBox = FALSE;
    RsvgRectangle viewBox{};
    rsvg_handle_get_intrinsic_dimensions(handle_, nullptr, nullptr, nullptr, nullptr, &hasViewBox,
                                         &viewBox);
    if (hasViewBox) {
      w = viewBox.width;
      h = viewBox.height;
    } else {
      w = kDefaultSide;
      h = kDefaultSide;
    }
  }
  if (!SizeToPixels(w, width) || !SizeToPixels(h, height)) {
    SetError(descriptor, kDocumentSource,
             "the document's size (%g x %g pixels) is empty or too large to render", w, h);
    return false;
  }
  return true;
}

void* CSvgDocument::Render(uint32_t width, uint32_t height, RasterAllocator allocator) {
  if (width == 0 || height == 0 || allocator == nullptr) return nullptr;
  uint64_t bytes = 0;
  if (!TesselRasterBytes(width, height, TESSEL_CODEC_MAX_PIXEL_BYTES, &bytes)) return nullptr;
  if (uint64_t{width} * 4 > INT_MAX) return nullptr;  // cairo takes the stride as an int
  auto* raster = static_cast<uint8_t*>(allocator(static_cast<uint32_t>(bytes)));
  if (raster == nullptr) return nullptr;
  std::memset(raster, 0, bytes);

  std::lock_guard lock(renderLock_);
  for (uint32_t y = 0; y < height; y += kMaxTileSide) {
    for (uint32_t x = 0; x < width; x += kMaxTileSide) {
      if (!RenderTile(raster, width, height, x, y, std::min(kMaxTileSide, width - x),
                      std::min(kMaxTileSide, height - y))) {
        std::free(raster);
        return nullptr;
      }
    }
  }
  return raster;
}

bool CSvgDocument::RenderTile(uint8_t* raster, uint32_t width, uint32_t height, uint32_t x,
                              uint32_t y, uint32_t tileWidth, uint32_t tileHeight) {
  const size_t stride = size_t{width} * 4;
  std::unique_ptr<cairo_surface_t, CSurfaceDestroy> surface(cairo_image_surface_create_for_data(
      raster + y * stride + size_t{x} * 4, CAIRO_FORMAT_ARGB32, static_cast<int>(tileWidth),
      static_cast<int>(tileHeight), static_cast<int>(stride)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return false;
  std::unique_ptr<cairo_t, CCairoDestroy> cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return false;
  // Every tile sees the whole viewport, shifted so that its own part lands on the surface.
  cairo_translate(cr.get(), -static_cast<double>(x), -static_cast<double>(y));
  const RsvgRectangle viewport{0, 0, static_cast<double>(width), static_cast<double>(height)};
  GError* rawError = nullptr;
  const bool rendered = rsvg_handle_render_document(handle_, cr.get(), &viewport, &rawError);
  std::unique_ptr<GError, CGErrorFree> error(rawError);
  cairo_surface_flush(surface.get());
  return rendered && cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS;
}

CSvgTable& CSvgTable::Instance() {
  static CSvgTable table;
  return table;
}

uint32_t CSvgTable::Add(std::shared_ptr<CSvgDocument> document) {
  std::lock_guard lock(lock_);
  if (documents_.size() >= UINT32_MAX) return 0;
  // After the counter wraps, skip 0 and the handles still in use.
  while (next_ == 0 || documents_.contains(next_)) ++next_;
  const uint32_t handle = next_++;
  documents_.emplace(handle, std::move(document));
  return handle;
}

std::shared_ptr<CSvgDocument> CSvgTable::Find(uint32_t handle) {
  std::lock_guard lock(lock_);
  auto it = documents_.find(handle);
  return it != documents_.end() ? it->second : nullptr;
}

void CSvgTable::Remove(uint32_t handle) {
  std::shared_ptr<CSvgDocument> removed;
  {
    std::lock_guard lock(lock_);
    auto it = documents_.find(handle);
    if (it == documents_.end()) return;
    removed = std::move(it->second);
    documents_.erase(it);
  }
  // Released outside the lock; a rendering still running keeps its own reference.
}

std::unique_ptr<CSvgDocument> ParseSvgFile(const char* utf8Path, ImageDescriptor* descriptor) {
  if (utf8Path == nullptr || utf8Path[0] == '\0') {
    SetError(descriptor, kFileSource, "no file name was given");
    return nullptr;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(utf8Path, &bytes, descriptor)) return nullptr;
  if (bytes.empty()) {
    SetError(descriptor, kFileSource, "the file is empty: %s", utf8Path);
    return nullptr;
  }
  return CSvgDocument::Parse(bytes.data(), bytes.size(), descriptor);
}

}  // namespace tessel::codec
