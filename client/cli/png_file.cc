#include "client/cli/png_file.h"

#include <png.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <vector>

namespace tessel::cli {
namespace {

struct CWriteState {
  char message[256] = "";
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<CWriteState*>(png_get_error_ptr(png));
  ::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Everything that longjmp may cross is made before setjmp and is trivially destructible here.
bool WriteImage(FILE* file, uint32_t width, uint32_t height, std::span<const std::byte> bgra,
                unsigned char* row, CWriteState& state) {
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
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = size_t{width} * 4;
  for (uint32_t y = 0; y < height; ++y) {
    ToStraightRgba(bgra.subspan(y * stride, stride), row);
    png_write_row(png, row);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

void ToStraightRgba(std::span<const std::byte> bgra, unsigned char* rgba) {
  for (size_t i = 0; i + 4 <= bgra.size(); i += 4) {
    const unsigned alpha = static_cast<unsigned>(bgra[i + 3]);
    // Rounded to nearest; a broken raster whose colour exceeds its alpha is clipped.
    auto straight = [alpha](std::byte value) {
      const unsigned c = (static_cast<unsigned>(value) * 255 + alpha / 2) / alpha;
      return static_cast<unsigned char>(c > 255 ? 255 : c);
    };
    if (alpha == 0) {
      rgba[i] = rgba[i + 1] = rgba[i + 2] = rgba[i + 3] = 0;
      continue;
    }
    rgba[i] = straight(bgra[i + 2]);
    rgba[i + 1] = straight(bgra[i + 1]);
    rgba[i + 2] = straight(bgra[i]);
    rgba[i + 3] = static_cast<unsigned char>(alpha);
  }
}

bool WritePngFile(const std::string& path, uint32_t width, uint32_t height,
                  std::span<const std::byte> bgra, std::string& error) {
  // In 64 bits width x height cannot wrap; times 4 it could.
  if (width == 0 || height == 0 || bgra.size() % 4 != 0 ||
      bgra.size() / 4 != uint64_t{width} * height) {
    error = "the worker returned an empty image";
    return false;
  }
  FILE* file = ::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot create " + path + ": " + ::strerror(errno);
    return false;
  }
  std::vector<unsigned char> row(size_t{width} * 4);
  CWriteState state;
  bool written = WriteImage(file, width, height, bgra, row.data(), state);
  if (written && ::fflush(file) != 0) {
    ::snprintf(state.message, sizeof state.message, "%s", ::strerror(errno));
    written = false;
  }
  if (::fclose(file) != 0 && written) {
    ::snprintf(state.message, sizeof state.message, "%s", ::strerror(errno));
    written = false;
  }
  if (!written) {
    ::unlink(path.c_str());
    error = "cannot write " + path + ": " + state.message;
  }
  return written;
}

}  // namespace tessel::cli
