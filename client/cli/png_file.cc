#include "client/cli/png_file.h"

#include <png.h>
#include <stdio.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <system_error>
#include <vector>

#include "client/cli/interrupt.h"
#include "wire/image_descriptor.h"

namespace tessel::cli {
namespace {

struct CWriteState {
  int fd = -1;
  int writeError = 0;  // errno of the write that failed; libpng only says "Write Error"
  char message[256] = "";
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<CWriteState*>(png_get_error_ptr(png));
  ::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void OnPngWrite(png_structp png, png_bytep data, size_t size) {
  auto* state = static_cast<CWriteState*>(png_get_io_ptr(png));
  while (size > 0) {
    const ssize_t written = ::write(state->fd, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR && !Interrupted()) continue;
    state->writeError = written < 0 ? errno : EIO;
    png_error(png, "cannot write");
  }
}

// Every byte goes straight to the file in OnPngWrite; the caller syncs it.
void OnPngFlush(png_structp) {}

// Everything that longjmp may cross is made before setjmp and is trivially destructible here.
bool WriteImage(const CPixels& image, const PngSettings& settings, unsigned char* row,
                CWriteState& state) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, OnPngError, OnPngWarning);
  if (png == nullptr) {
    ::snprintf(state.message, sizeof state.message, "libpng cannot start");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  // The default limit of a million pixels a side is for reading untrusted files; any size that
  // the format allows is written.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_write_fn(png, &state, OnPngWrite, OnPngFlush);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, settings.filters);
  png_set_compression_level(png, settings.level);
  png_set_compression_strategy(png, settings.strategy);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = size_t{image.width} * 4;
  for (uint32_t y = 0; y < image.height; ++y) {
    // A large image takes seconds to compress; a signal must not wait for all of it.
    if (Interrupted()) png_error(png, "interrupted");
    ToStraightRgba(image.bgra.subspan(y * stride, stride), row, image.background);
    png_write_row(png, row);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

constexpr struct {
  PngCompression compression;
  const char* name;
} kCompressionNames[] = {
    {PngCompression::kFast, "fast"},
    {PngCompression::kDefault, "default"},
    {PngCompression::kBest, "best"},
};

}  // namespace

std::optional<PngCompression> ParsePngCompression(const std::string& text) {
  for (const auto& known : kCompressionNames) {
    if (text == known.name) return known.compression;
  }
  return std::nullopt;
}

// kFast as measured in bench/cli_bench.cc against libpng's defaults: 15x less CPU for a file 3%
// larger on a photograph-like image, about 3x less on rendered drawings, whose files grow more
// (by a third to three quarters) but stay small (1 to 8% of the raw pixels).
PngSettings SettingsFor(PngCompression compression) {
  switch (compression) {
    case PngCompression::kFast:
      return {PNG_FILTER_SUB, 1, Z_RLE};
    case PngCompression::kDefault:
      break;
    case PngCompression::kBest:
      return {PNG_ALL_FILTERS, 9, Z_FILTERED};
  }
  return {PNG_ALL_FILTERS, Z_DEFAULT_COMPRESSION, Z_FILTERED};
}

bool EncodePng(int fd, const CPixels& image, std::string& error) {
  return EncodePng(fd, image, SettingsFor(image.compression), error);
}

bool EncodePng(int fd, const CPixels& image, const PngSettings& settings, std::string& error) {
  uint64_t bytes = 0;
  if (image.width == 0 || image.height == 0 ||
      !TesselRasterBytes(image.width, image.height, SIZE_MAX, &bytes) ||
      image.bgra.size() != bytes) {
    error = "the worker returned an empty image";
    return false;
  }
  std::vector<unsigned char> row(size_t{image.width} * 4);
  CWriteState state;
  state.fd = fd;
  if (WriteImage(image, settings, row.data(), state)) return true;
  error = state.writeError != 0
              ? std::error_code(state.writeError, std::generic_category()).message()
              : std::string(state.message);
  return false;
}

}  // namespace tessel::cli
