#include "client/cli/reference_png.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace tessel::cli {
namespace {

// Everything that must survive a longjmp out of libpng lives here, never in a setjmp frame.
struct CReadState {
  std::span<const std::byte> data;
  size_t offset = 0;
  char message[256] = {};
  std::vector<png_bytep> rows;
};

void OnError(png_structp png, png_const_charp message) {
  auto* state = static_cast<CReadState*>(png_get_error_ptr(png));
  std::strncpy(state->message, message, sizeof state->message - 1);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, size_t length) {
  auto* state = static_cast<CReadState*>(png_get_io_ptr(png));
  if (length > state->data.size() - state->offset) png_error(png, "the file ends too early");
  std::memcpy(out, state->data.data() + state->offset, length);
  state->offset += length;
}

// Owns libpng's read and info structures.
class CReader {
 public:
  explicit CReader(CReadState* state)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, state, OnError, OnWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~CReader() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }
  CReader(const CReader&) = delete;
  CReader& operator=(const CReader&) = delete;
  png_structp Png() const { return png_; }
  png_infop Info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

// Each of these is false after a longjmp.
bool ReadHeader(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  return true;
}

// The transforms to 8-bit RGBA.
bool Transform(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  const int colorType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_scale_16(png);
  if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  (void)png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return true;
}

bool ReadRows(png_structp png, CReadState* state) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, state->rows.data());
  return true;
}

}  // namespace

bool DecodeReferencePng(std::span<const std::byte> png, uint64_t maxPixelBytes, CRgbaImage& out,
                        std::string& error) {
  out = CRgbaImage{};
  CReadState state;
  state.data = png;
  CReader reader(&state);
  if (reader.Info() == nullptr) {
    error = "not enough memory to start libpng";
    return false;
  }
  png_set_read_fn(reader.Png(), &state, ReadFromMemory);
  // The pixel limit is ours, not libpng's default of a million pixels a side; a side alone is
  // bounded by libpng, before it sizes its row buffers by it.
  const uint64_t side =
      std::min<uint64_t>(PNG_UINT_31_MAX, std::max<uint64_t>(maxPixelBytes / 4, 1));
  png_set_user_limits(reader.Png(), static_cast<uint32_t>(side), static_cast<uint32_t>(side));
  if (!ReadHeader(reader.Png(), reader.Info())) {
    error = state.message;
    return false;
  }
  const uint32_t width = png_get_image_width(reader.Png(), reader.Info());
  const uint32_t height = png_get_image_height(reader.Png(), reader.Info());
  const uint64_t bytes = uint64_t{width} * height * 4;  // both below 2^31: no overflow
  if (bytes > maxPixelBytes) {
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) +
            ", more pixels than the limit of " + std::to_string(maxPixelBytes) + " bytes allows";
    return false;
  }
  if (!Transform(reader.Png(), reader.Info())) {
    error = state.message;
    return false;
  }
  if (png_get_rowbytes(reader.Png(), reader.Info()) != size_t{width} * 4) {
    error = "libpng did not make 8-bit RGBA rows of it";
    return false;
  }
  out.rgba.resize(static_cast<size_t>(bytes));
  state.rows.resize(height);
  for (uint32_t y = 0; y < height; ++y) state.rows[y] = &out.rgba[size_t{y} * width * 4];
  if (!ReadRows(reader.Png(), &state)) {
    error = state.message;
    out = CRgbaImage{};
    return false;
  }
  out.width = width;
  out.height = height;
  return true;
}

}  // namespace tessel::cli
