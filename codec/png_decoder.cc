#include "codec/png_decoder.h"

#include <png.h>

#include <csetjmp>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/error_text.h"
#include "codec/png_fast_decoder.h"

namespace tessel::codec {
namespace {

constexpr const char* kSource = kPngSource;
constexpr const char* kHeaderStage = kPngHeaderStage;
constexpr const char* kDataStage = kPngDataStage;
constexpr size_t kSignatureSize = 8;
// Signature, IHDR length and type, then the width and height fields.
constexpr size_t kIhdrSizesEnd = kSignatureSize + 8 + 8;
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

uint32_t ReadBigEndian32(const png_byte* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Writes why into `text` when the pixels of a width x height image exceed the limit.
bool SizeAllowed(uint32_t width, uint32_t height, char* text, size_t textSize) {
  uint64_t bytes = 0;
  if (TesselRasterBytes(width, height, TESSEL_CODEC_MAX_PIXEL_BYTES, &bytes)) return true;
  std::snprintf(text, textSize,
                "the image is %u x %u pixels and needs %llu bytes of pixels; the limit is %llu "
                "bytes",
                width, height, static_cast<unsigned long long>(bytes),
                TESSEL_CODEC_MAX_PIXEL_BYTES);
  return false;
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
  if (!SizeAllowed(state->width, state->height, state->readError, sizeof state->readError)) {
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

// Looks at the signature and the IHDR sizes before libpng allocates anything at all.
bool CheckPngStart(const png_byte* data, size_t length, ImageDescriptor* descriptor) {
  if (length == 0) {
    SetError(descriptor, kSource, "the data is empty (0 bytes); no image was given");
    return false;
  }
  if (length < kSignatureSize || png_sig_cmp(data, 0, kSignatureSize) != 0) {
    SetError(descriptor, kSource,
             "the data is not a PNG image: its first bytes are not the PNG signature");
    return false;
  }
  if (length >= kIhdrSizesEnd && std::memcmp(data + 12, "IHDR", 4) == 0) {
    char refusal[160];
    if (!SizeAllowed(ReadBigEndian32(data + 16), ReadBigEndian32(data + 20), refusal,
                     sizeof refusal)) {
      SetError(descriptor, kHeaderStage, "%s", refusal);
      return false;
    }
  }
  return true;  // libpng names what is wrong with the first chunk
}

void SetNoPixelMemoryError(ImageDescriptor* descriptor, uint32_t width, uint32_t height) {
  const size_t bytes = size_t{width} * height * 4;
  if (const unsigned long long limit = AddressSpaceLimit()) {
    SetError(descriptor, kSource,
             "out of memory while decoding: the limit is %llu bytes of address space, and the "
             "%u x %u pixels alone need %zu bytes",
             limit, width, height, bytes);
  } else {
    SetError(descriptor, kSource, "not enough memory for the %u x %u pixels (%zu bytes)", width,
             height, bytes);
  }
}

void PremultiplyRgbaToBgra(uint8_t* pixels, size_t count) {
  size_t done = 0;
#if defined(__SSE2__)
  // Four pixels at a time in 16-bit lanes; no lane overflows: 255 * 255 + 128 + 254 < 65536.
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(128);
  const __m128i alphaMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  constexpr int kBroadcastAlpha = _MM_SHUFFLE(3, 3, 3, 3);
  constexpr int kSwapRedBlue = _MM_SHUFFLE(3, 0, 1, 2);
  for (; done + 4 <= count; done += 4, pixels += 16) {
    const __m128i source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
    __m128i low = _mm_unpacklo_epi8(source, zero);
    __m128i high = _mm_unpackhi_epi8(source, zero);
    const __m128i lowAlpha =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(low, kBroadcastAlpha), kBroadcastAlpha);
    const __m128i highAlpha =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(high, kBroadcastAlpha), kBroadcastAlpha);
    low = _mm_add_epi16(_mm_mullo_epi16(low, lowAlpha), half);
    high = _mm_add_epi16(_mm_mullo_epi16(high, highAlpha), half);
    low = _mm_srli_epi16(_mm_add_epi16(low, _mm_srli_epi16(low, 8)), 8);
    high = _mm_srli_epi16(_mm_add_epi16(high, _mm_srli_epi16(high, 8)), 8);
    low = _mm_shufflehi_epi16(_mm_shufflelo_epi16(low, kSwapRedBlue), kSwapRedBlue);
    high = _mm_shufflehi_epi16(_mm_shufflelo_epi16(high, kSwapRedBlue), kSwapRedBlue);
    const __m128i colours = _mm_andnot_si128(alphaMask, _mm_packus_epi16(low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels),
                     _mm_or_si128(colours, _mm_and_si128(source, alphaMask)));
  }
#endif
  for (; done < count; ++done, pixels += 4) {
    const unsigned alpha = pixels[3];
    const uint8_t red = pixels[0];
    pixels[0] = MultiplyRounded(pixels[2], alpha);
    pixels[1] = MultiplyRounded(pixels[1], alpha);
    pixels[2] = MultiplyRounded(red, alpha);
  }
}

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

bool CheckPngArguments(const uint8_t* data, size_t length, ImageDescriptor* descriptor) {
  if (data == nullptr && length != 0) {
    SetError(descriptor, kSource, "no data was given for an image of %zu bytes", length);
    return false;
  }
  return true;
}

bool DecodePng(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize) {
  switch (DecodePngFast(data, length, descriptor, pixels, pixelsSize)) {
    case PngFastResult::kDecoded:
      return true;
    case PngFastResult::kRefused:
      return false;
    case PngFastResult::kHandedOff:
      break;
  }
  ClearError(descriptor);
  return DecodePngWithLibpng(data, length, descriptor, pixels, pixelsSize);
}

}  // namespace tessel::codec
