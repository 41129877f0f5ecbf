#include "client/cli/png_file.h"

#include <libdeflate.h>
#include <png.h>
#include <stdio.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
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

// Up to this many bytes of pixels (a megapixel), kFast compresses the whole filtered image at once
// with libdeflate: about half of zlib's time at level 1 on small images, with smaller files for
// drawings (photographs grow by a tenth). Beyond it the fresh buffers it needs, twice the pixels'
// size, cost more than libdeflate saves, so larger images stream through libpng a row at a time.
constexpr uint64_t kWholeImageLimit = 4u << 20;

struct CCompressorFree {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};

void PutBigEndian(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24), at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8), at[3] = static_cast<unsigned char>(value);
}

// Frames `size` bytes of data that already lie at `chunk + 8` as a chunk of `type`: length and
// type in front, the CRC of type and data behind. Returns the end of the chunk.
unsigned char* FrameChunk(unsigned char* chunk, const char (&type)[5], size_t size) {
  PutBigEndian(chunk, static_cast<uint32_t>(size));
  std::memcpy(chunk + 4, type, 4);
  PutBigEndian(chunk + 8 + size, libdeflate_crc32(0, chunk + 4, size + 4));
  return chunk + 12 + size;
}

bool WriteBytes(int fd, const unsigned char* data, size_t size, std::string& error) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR && !Interrupted()) continue;
    error = std::error_code(written < 0 ? errno : EIO, std::generic_category()).message();
    return false;
  }
  return true;
}

// The signature, IHDR, one IDAT holding the whole zlib stream of SUB-filtered rows, and IEND, in
// one buffer and one write.
bool WriteWholeImage(int fd, const CPixels& image, std::string& error) {
  const size_t stride = size_t{image.width} * 4;
  const size_t rawSize = image.height * (stride + 1);
  std::unique_ptr<unsigned char[]> filtered(new (std::nothrow) unsigned char[rawSize]);
  // One compressor a thread: it is a few hundred kilobytes of tables, and renderers run in
  // parallel.
  thread_local std::unique_ptr<libdeflate_compressor, CCompressorFree> compressor(
      libdeflate_alloc_compressor(1));
  if (filtered == nullptr || compressor == nullptr) {
    error = "not enough memory to compress the image";
    return false;
  }
  std::vector<unsigned char> row(stride);
  for (uint32_t y = 0; y < image.height; ++y) {
    if (Interrupted()) {
      error = "interrupted";
      return false;
    }
    ToStraightRgba(image.bgra.subspan(y * stride, stride), row.data(), image.background);
    unsigned char* line = &filtered[y * (stride + 1)];
    line[0] = PNG_FILTER_VALUE_SUB;
    std::memcpy(line + 1, row.data(), 4);
    for (size_t i = 4; i < stride; ++i)
      line[1 + i] = static_cast<unsigned char>(row[i] - row[i - 4]);
  }

  constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  constexpr size_t kHeader = 13, kFraming = 12;
  constexpr size_t kBefore = sizeof kSignature + kFraming + kHeader + 8;  // up to IDAT's data
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rawSize);
  std::unique_ptr<unsigned char[]> file(
      new (std::nothrow) unsigned char[kBefore + bound + 4 + kFraming]);
  if (file == nullptr) {
    error = "not enough memory to compress the image";
    return false;
  }
  const size_t compressed = libdeflate_zlib_compress(compressor.get(), filtered.get(), rawSize,
                                                     file.get() + kBefore, bound);
  filtered.reset();
  if (compressed == 0 || compressed > PNG_UINT_31_MAX) {
    error = "the image cannot be compressed into one PNG chunk";
    return false;
  }
  unsigned char* at = file.get();
  std::memcpy(at, kSignature, sizeof kSignature);
  at += sizeof kSignature;
  unsigned char* header = at + 8;
  PutBigEndian(header, image.width);
  PutBigEndian(header + 4, image.height);
  header[8] = 8;                         // bits a sample
  header[9] = PNG_COLOR_TYPE_RGB_ALPHA;  // compression, filter and interlace methods are 0
  header[10] = header[11] = header[12] = 0;
  at = FrameChunk(at, "IHDR", kHeader);
  at = FrameChunk(at, "IDAT", compressed);
  at = FrameChunk(at, "IEND", 0);
  return WriteBytes(fd, file.get(), static_cast<size_t>(at - file.get()), error);
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

namespace {

// The worker's description of the raster must match the bytes it handed over.
bool CheckPixels(const CPixels& image, uint64_t& bytes, std::string& error) {
  if (image.width == 0 || image.height == 0 ||
      !TesselRasterBytes(image.width, image.height, SIZE_MAX, &bytes) ||
      image.bgra.size() != bytes) {
    error = "the worker returned an empty image";
    return false;
  }
  return true;
}

}  // namespace

bool EncodePng(int fd, const CPixels& image, std::string& error) {
  uint64_t bytes = 0;
  if (!CheckPixels(image, bytes, error)) return false;
  if (image.compression == PngCompression::kFast && bytes <= kWholeImageLimit)
    return WriteWholeImage(fd, image, error);
  return EncodePng(fd, image, SettingsFor(image.compression), error);
}

bool EncodePng(int fd, const CPixels& image, const PngSettings& settings, std::string& error) {
  uint64_t bytes = 0;
  if (!CheckPixels(image, bytes, error)) return false;
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
