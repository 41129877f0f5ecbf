// The libpng path: every PNG image that our own path hands off. In libTessel.so it lives in the
// PNG side, libTesselPng.so, so that libpng and zlib are loaded at the first such image only.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/error_text.h"
#include "codec/png_decoder.h"

namespace tessel::codec {
namespace {

constexpr const char* kSource = kPngSource;
constexpr const char* kHeaderStage = kPngHeaderStage;
constexpr const char* kDataStage = kPngDataStage;
// No chunk that is still parsed needs more; bigger ones are refused rather than inflated.
constexpr png_alloc_size_t kChunkMallocMax = 8u << 20;
constexpr png_uint_32 kChunkCacheMax = 256;
// Colour profiles and metadata are never applied, so they are skipped unparsed (no inflating).
constexpr png_byte kSkippedChunks[] = "iCCP\0zTXt\0iTXt\0tEXt\0eXIf\0sPLT";
constexpr int kSkippedChunkCount = 6;

// Everything that must survive a longjmp out of libpng lives here, never in a setjmp frame.
struct CReadState {
  const png_byte* data = nullptr;
  size_t length = 0;
  size_t offset = 0;
  const char* stage = kSource;
  char message[256] = {};
  char readError[160] = {};    // a message of ours that libpng passes on
  png_byte* pixels = nullptr;  // malloc()ed; owned until handed to the caller
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int passes = 1;
  bool hasAlpha = false;
};

// Owns the libpng read and info structures.
class CPngReader {
 public:
  CPngReader(CReadState* state, png_error_ptr onError, png_error_ptr onWarning)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, state, onError, onWarning)) {
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  CPngReader(const CPngReader&) = delete;
  CPngReader& operator=(const CPngReader&) = delete;
  ~CPngReader() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }

  png_structp Png() const { return png_; }
  png_infop Info() const { return info_; }
  bool Valid() const { return png_ != nullptr && info_ != nullptr; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<CReadState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}

// Warnings concern damage that libpng has already worked around; nobody could act on them.
void OnPngWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, size_t count) {
  auto* state = static_cast<CReadState*>(png_get_io_ptr(png));
  if (count > state->length - state->offset) {
    std::snprintf(state->readError, sizeof state->readError, kTruncatedFormat, state->length);
    png_error(png, state->readError);
  }
  std::memcpy(out, state->data + state->offset, count);
  state->offset += count;
}

void SetTransforms(png_structp png, png_infop info, CReadState* state) {
  const png_byte colorType = png_get_color_type(png, info);
  const png_byte bitDepth = png_get_bit_depth(png, info);
  const bool colourKey = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (colourKey) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_scale_16(png);  // rounds, unlike png_set_strip_16
  if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);  // only acts on rows without alpha
  state->hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) != 0 || colourKey;
  // Rows with alpha get their channel order in the premultiplying pass, at no extra cost.
  if (!state->hasAlpha) png_set_bgr(png);
  state->passes = png_set_interlace_handling(png);
}

// libpng reports failures by longjmp: no object with a destructor may live in this frame.
bool ReadHeader(png_structp png, png_infop info, CReadState* state) {
  if (setjmp(png_jmpbuf(png))) return false;
  state->stage = kHeaderStage;
  png_read_info(png, info);
  state->width = png_get_image_width(png, info);
  state->height = png_get_image_height(png, info);
  // Again, in case the first chunk was not the IHDR looked at before: row buffers come next.
  if (!PngSizeAllowed(state->width, state->height, state->readError, sizeof state->readError)) {
    png_error(png, state->readError);
  }
  SetTransforms(png, info, state);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t{state->width} * 4) {
    png_error(png, "the decoder produced an unexpected row layout");
  }
  return true;
}

[[gnu::noinline]] void ReadAllRows(png_structp png, CReadState* state) {
  const size_t stride = size_t{state->width} * 4;
  const bool premultiplyRows = state->hasAlpha && state->passes == 1;
  for (int pass = 0; pass < state->passes; ++pass) {
    png_bytep row = state->pixels;
    for (png_uint_32 y = 0; y < state->height; ++y, row += stride) {
      png_read_row(png, row, nullptr);
      // While the row is still in the cache.
      if (premultiplyRows) PremultiplyRgbaToBgra(row, state->width);
    }
  }
  if (state->hasAlpha && state->passes > 1) {
    PremultiplyRgbaToBgra(state->pixels, size_t{state->width} * state->height);
  }
}

bool ReadRows(png_structp png, CReadState* state) {
  if (setjmp(png_jmpbuf(png))) return false;
  state->stage = kDataStage;
  ReadAllRows(png, state);
  return true;
}

bool Decode(CReadState* state, ImageDescriptor* descriptor) {
  CPngReader reader(state, OnPngError, OnPngWarning);
  if (!reader.Valid()) {
    SetError(descriptor, kSource, "not enough memory to start the PNG decoder");
    return false;
  }
  png_structp png = reader.Png();
  png_set_read_fn(png, state, ReadFromMemory);
  png_set_user_limits(png, TESSEL_CODEC_MAX_PIXEL_BYTES / 4, TESSEL_CODEC_MAX_PIXEL_BYTES / 4);
  png_set_chunk_cache_max(png, kChunkCacheMax);
  png_set_chunk_malloc_max(png, kChunkMallocMax);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkippedChunks, kSkippedChunkCount);
#if defined(PNG_IGNORE_ADLER32)
  // Every IDAT byte is already covered by its chunk's CRC; the stream checksum adds only time.
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif

  if (!ReadHeader(png, reader.Info(), state)) {
    SetError(descriptor, state->stage, "%s", state->message);
    return false;
  }
  const size_t bytes = size_t{state->width} * state->height * 4;
  state->pixels = static_cast<png_byte*>(std::malloc(bytes));
  if (state->pixels == nullptr) {
    SetNoPixelMemoryError(descriptor, state->width, state->height);
    return false;
  }
  if (!ReadRows(png, state)) {
    SetError(descriptor, state->stage, "%s", state->message);
    return false;
  }
  return true;
}

}  // namespace

bool DecodePngWithLibpng(const uint8_t* data, size_t length, ImageDescriptor* descriptor,
                         void** pixels, uint32_t* pixelsSize) {
  *pixels = nullptr;
  *pixelsSize = 0;
  if (!CheckPngArguments(data, length, descriptor) || !CheckPngStart(data, length, descriptor)) {
    return false;
  }
  CReadState state;
  state.data = data;
  state.length = length;
  if (!Decode(&state, descriptor)) {
    std::free(state.pixels);
    return false;
  }
  descriptor->Width = state.width;
  descriptor->Height = state.height;
  descriptor->VectorFlag = 0;
  *pixels = state.pixels;
  *pixelsSize = static_cast<uint32_t>(size_t{state.width} * state.height * 4);
  return true;
}

}  // namespace tessel::codec
