#include "codec/png_fast_decoder.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codec/error_text.h"
#include "codec/png_decoder.h"
#include "codec/unfilter.h"
#include "platform/mapping.h"

namespace tessel::codec {
namespace {

// What the libpng path does with a chunk decides what this path may do with it: anything it
// would forgive, reword or stop at in a way not modelled here is handed to it.
enum class Verdict { kContinue, kRefused, kHandedOff };

constexpr size_t kSignatureSize = 8;
constexpr uint32_t kLargestUint31 = 0x7FFFFFFFu;  // libpng's png_get_uint_31
// The libpng path's png_set_chunk_malloc_max: a bigger chunk other than IDAT stops it.
constexpr uint32_t kChunkMallocMax = 8u << 20;
constexpr size_t kMostInflated = 1032;  // bytes out of one byte of deflate data, at most

constexpr uint32_t ChunkType(const char (&name)[5]) {
  return (uint32_t(uint8_t(name[0])) << 24) | (uint32_t(uint8_t(name[1])) << 16) |
         (uint32_t(uint8_t(name[2])) << 8) | uint32_t(uint8_t(name[3]));
}
constexpr uint32_t kIHDR = ChunkType("IHDR"), kPLTE = ChunkType("PLTE"), kIDAT = ChunkType("IDAT"),
                   ktRNS = ChunkType("tRNS");

enum ColorType : uint8_t { kGray = 0, kRgb = 2, kPalette = 3, kGrayAlpha = 4, kRgba = 6 };

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t BigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool IsCritical(uint32_t type) {
  return (type & 0x20000000u) == 0;
}

bool ValidName(uint32_t type) {
  for (int shift = 0; shift < 32; shift += 8) {
    const uint8_t c = uint8_t(type >> shift);
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

struct CChunk {
  uint32_t type = 0;
  uint32_t length = 0;
  const uint8_t* payload = nullptr;
  bool complete = false;  // payload and CRC are all there
  size_t next = 0;        // offset of the following chunk when complete
  bool CrcMatches() const {
    return libdeflate_crc32(0, payload - 4, size_t{length} + 4) == BigEndian32(payload + length);
  }
};

enum class HeaderRead { kRead, kTruncated, kRefusedByLibpng };

// The 8-byte header at `at`, checked as libpng's png_read_chunk_header checks it.
HeaderRead ReadChunkHeader(const uint8_t* data, size_t length, size_t at, CChunk* chunk) {
  if (length - at < 8) return HeaderRead::kTruncated;
  chunk->length = BigEndian32(data + at);
  chunk->type = BigEndian32(data + at + 4);
  if (chunk->length > kLargestUint31 || !ValidName(chunk->type))
    return HeaderRead::kRefusedByLibpng;
  chunk->payload = data + at + 8;
  chunk->complete = length - at - 8 >= size_t{chunk->length} + 4;
  chunk->next = at + 8 + size_t{chunk->length} + 4;
  return HeaderRead::kRead;
}

struct CImage {
  uint32_t width = 0, height = 0;
  uint8_t bitDepth = 0, colorType = 0;
  size_t rowBytes = 0, bytesPerPixel = 0;
  uint8_t palette[256][3] = {};  // entries past the PLTE stay black, as libpng keeps them
  unsigned paletteSize = 0;
  uint8_t paletteAlpha[256] = {};
  unsigned alphaCount = 0;
  bool hasKey = false;
  uint16_t key[3] = {};  // gray, or red, green, blue
};

unsigned Channels(uint8_t colorType) {
  switch (colorType) {
    case kRgb:
      return 3;
    case kGrayAlpha:
      return 2;
    case kRgba:
      return 4;
    default:
      return 1;
  }
}

bool ValidFormat(uint8_t colorType, uint8_t depth) {
  switch (colorType) {
    case kGray:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case kPalette:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case kRgb:
    case kGrayAlpha:
    case kRgba:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

void Refuse(ImageDescriptor* descriptor, const char* stage, const char* message) {
  SetError(descriptor, stage, "%s", message);
}

Verdict RefuseTruncated(ImageDescriptor* descriptor, size_t length) {
  SetError(descriptor, kPngHeaderStage, kTruncatedFormat, length);
  return Verdict::kRefused;
}

// The signature has been checked. Reads IHDR.
Verdict ReadIhdr(const uint8_t* data, size_t length, CImage* image, ImageDescriptor* descriptor) {
  CChunk chunk;
  switch (ReadChunkHeader(data, length, kSignatureSize, &chunk)) {
    case HeaderRead::kTruncated:
      return RefuseTruncated(descriptor, length);
    case HeaderRead::kRefusedByLibpng:
      return Verdict::kHandedOff;
    case HeaderRead::kRead:
      break;
  }
  if (chunk.type != kIHDR || chunk.length != 13) return Verdict::kHandedOff;
  if (!chunk.complete) return RefuseTruncated(descriptor, length);
  if (!chunk.CrcMatches()) {
    Refuse(descriptor, kPngHeaderStage, "IHDR: CRC error");
    return Verdict::kRefused;
  }
  const uint8_t* p = chunk.payload;
  image->width = BigEndian32(p);
  image->height = BigEndian32(p + 4);
  image->bitDepth = p[8];
  image->colorType = p[9];
  // Zero or 31-bit sizes, other methods and Adam7 are libpng's (sizes over the pixel limit were
  // refused before).
  if (image->width == 0 || image->height == 0 || image->width > kLargestUint31 ||
      image->height > kLargestUint31 || !ValidFormat(image->colorType, image->bitDepth) ||
      p[10] != 0 || p[11] != 0 || p[12] != 0) {
    return Verdict::kHandedOff;
  }
  const unsigned bits = Channels(image->colorType) * image->bitDepth;
  image->rowBytes = (size_t{image->width} * bits + 7) / 8;
  image->bytesPerPixel = (bits + 7) / 8;
  return Verdict::kContinue;
}

// PLTE and tRNS as libpng takes them without a word; everything else about them (a duplicate,
// a wrong length or place, a damaged one) is handed off. libpng judges all but the CRC before
// it reads the data, so these come before a truncation.
bool PaletteAcceptable(const CChunk& chunk, const CImage& image, bool seenTransparency) {
  const unsigned entries = chunk.length / 3;
  return image.colorType != kGray && image.colorType != kGrayAlpha && image.paletteSize == 0 &&
         !seenTransparency && chunk.length != 0 && chunk.length % 3 == 0 && entries <= 256 &&
         (image.colorType != kPalette || entries <= (1u << image.bitDepth));
}

bool TransparencyAcceptable(const CChunk& chunk, const CImage& image, bool seenTransparency) {
  if (seenTransparency) return false;
  switch (image.colorType) {
    case kPalette:
      return image.paletteSize != 0 && chunk.length != 0 && chunk.length <= image.paletteSize;
    case kGray:
      return chunk.length == 2;
    case kRgb:
      return chunk.length == 6;
    default:
      return false;
  }
}

void TakePalette(const CChunk& chunk, CImage* image) {
  std::memcpy(image->palette, chunk.payload, chunk.length);
  image->paletteSize = chunk.length / 3;
}

void TakeTransparency(const CChunk& chunk, CImage* image) {
  if (image->colorType == kPalette) {
    std::memcpy(image->paletteAlpha, chunk.payload, chunk.length);
    image->alphaCount = chunk.length;
    return;
  }
  for (uint32_t i = 0; i < chunk.length / 2; ++i) {
    image->key[i] = BigEndian16(chunk.payload + 2 * i);
  }
  image->hasKey = true;
}

// Walks the chunks between IHDR and the first IDAT; on success *at is that IDAT's offset.
Verdict ReadChunksBeforeData(const uint8_t* data, size_t length, CImage* image, size_t* at,
                             ImageDescriptor* descriptor) {
  bool seenTransparency = false;
  for (size_t offset = kSignatureSize + 25;;) {
    CChunk chunk;
    switch (ReadChunkHeader(data, length, offset, &chunk)) {
      case HeaderRead::kTruncated:
        return RefuseTruncated(descriptor, length);
      case HeaderRead::kRefusedByLibpng:
        return Verdict::kHandedOff;
      case HeaderRead::kRead:
        break;
    }
    if (chunk.type == kIDAT) {
      if (image->colorType == kPalette && image->paletteSize == 0) return Verdict::kHandedOff;
      *at = offset;
      return Verdict::kContinue;
    }
    if (chunk.type == kPLTE || chunk.type == ktRNS) {
      const bool palette = chunk.type == kPLTE;
      if (palette ? !PaletteAcceptable(chunk, *image, seenTransparency)
                  : !TransparencyAcceptable(chunk, *image, seenTransparency)) {
        return Verdict::kHandedOff;
      }
      if (!chunk.complete) return RefuseTruncated(descriptor, length);
      if (!chunk.CrcMatches()) return Verdict::kHandedOff;
      if (palette) {
        TakePalette(chunk, image);
      } else {
        TakeTransparency(chunk, image);
      }
      seenTransparency |= !palette;
    } else if (IsCritical(chunk.type) || chunk.length > kChunkMallocMax) {
      return Verdict::kHandedOff;
    } else if (!chunk.complete) {
      // libpng reads an ancillary chunk whole (and then ignores it) whatever its kind.
      return RefuseTruncated(descriptor, length);
    }
    // Ancillary chunks change nothing in the pixels: libpng applies no gamma, profile, sBIT or
    // background here, and merely warns about a damaged one.
    offset = chunk.next;
  }
}

// libpng's png_check_chunk_length for an IDAT chunk of a non-interlaced image; 0 where its
// arithmetic would wrap, so that only chunks within the general limit pass.
uint64_t IdatLengthLimit(const CImage& image) {
  const uint64_t rowFactor64 =
      uint64_t{image.width} * Channels(image.colorType) * (image.bitDepth > 8 ? 2 : 1) + 1;
  if (rowFactor64 > 0xFFFFFFFFull) return 0;
  uint64_t rowFactor = rowFactor64;
  uint64_t limit = image.height > 0xFFFFFFFFull / rowFactor ? kLargestUint31
                                                            : uint64_t{image.height} * rowFactor;
  rowFactor = rowFactor > 32566 ? 32566 : rowFactor;
  limit += 6 + 5 * (limit / rowFactor + 1);
  return limit < kLargestUint31 ? limit : kLargestUint31;
}

struct CDataChunk {
  size_t start;  // in the joined stream
  uint32_t length;
  bool intact;
  const uint8_t* payload;
};

// The consecutive IDAT chunks from the first one on: whole chunks only, each with its CRC
// verdict. `cleanEnd` tells that a well-formed header of another kind follows them, which the
// libpng path would read and stop at.
struct CDataRun {
  std::vector<CDataChunk> chunks;
  size_t total = 0;
  bool cleanEnd = false;
  bool allIntact = true;
};

void GatherData(const uint8_t* data, size_t length, size_t at, const CImage& image, CDataRun* run) {
  const uint64_t limit = std::max<uint64_t>(kChunkMallocMax, IdatLengthLimit(image));
  for (;;) {
    CChunk chunk;
    if (ReadChunkHeader(data, length, at, &chunk) != HeaderRead::kRead) return;
    if (chunk.type != kIDAT) {
      run->cleanEnd = chunk.length <= kChunkMallocMax;
      return;
    }
    if (chunk.length > limit || !chunk.complete) return;
    const bool intact = chunk.CrcMatches();
    run->allIntact &= intact;
    run->chunks.push_back({run->total, chunk.length, intact, chunk.payload});
    run->total += chunk.length;
    at = chunk.next;
  }
}

struct CFree {
  void operator()(void* p) const { std::free(p); }
};
using CBuffer = std::unique_ptr<uint8_t[], CFree>;

struct CDecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// The zlib header as zlib judges it; a window smaller than the data could hold distances zlib
// refuses and libdeflate does not, so such streams stay with libpng.
bool PlainZlibHeader(const uint8_t* stream, size_t size, size_t inflatedSize) {
  if (size < 2) return false;
  const unsigned cmf = stream[0], flg = stream[1];
  if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) {
    return false;
  }
  const size_t window = size_t{1} << ((cmf >> 4) + 8);
  return window == 32768 || inflatedSize <= window;
}

// libpng's png_do_scale_16_to_8 to the bit: high + ((low - high + 128) * 65535 >> 24), where
// the product's shifted value can only be -1, 0 or 1. Compares vectorise; the product did not.
inline uint8_t Scale16(const uint8_t* sample) {
  const int high = sample[0], difference = sample[1] - high + 128;
  return static_cast<uint8_t>(high + (difference > 256) - (difference < 0));
}

inline uint32_t Bgra(unsigned red, unsigned green, unsigned blue, unsigned alpha) {
  return blue | (green << 8) | (red << 16) | (alpha << 24);
}

inline void Store(uint8_t* out, uint32_t pixel) {
  std::memcpy(out, &pixel, 4);
}

// Turns unfiltered rows of any format into premultiplied BGRA.
class CRowExpander {
 public:
  explicit CRowExpander(const CImage& image) : image_(image) {
    const bool indexed = image.colorType == kPalette;
    if (indexed || (image.colorType == kGray && image.bitDepth <= 8)) {
      const unsigned values = 1u << image.bitDepth, mask = values - 1;
      for (unsigned v = 0; v < values; ++v) {
        if (indexed) {
          const uint8_t* rgb = image.palette[v];
          const unsigned alpha = v < image.alphaCount ? image.paletteAlpha[v] : 255;
          table_[v] = Bgra(MultiplyRounded(rgb[0], alpha), MultiplyRounded(rgb[1], alpha),
                           MultiplyRounded(rgb[2], alpha), alpha);
        } else {
          const unsigned gray = v * (255 / mask);
          // libpng compares the key cut to the sample's bits.
          table_[v] = image.hasKey && v == (image.key[0] & mask) ? 0 : Bgra(gray, gray, gray, 255);
        }
      }
    }
  }

  void Expand(const uint8_t* row, uint8_t* out) const {
    const uint32_t width = image_.width;
    const bool deep = image_.bitDepth == 16;
    switch (image_.colorType) {
      case kPalette:
        return Lookup(row, out);
      case kGray:
        if (!deep) return Lookup(row, out);
        for (uint32_t x = 0; x < width; ++x, row += 2, out += 4) {
          const unsigned gray = Scale16(row);
          Store(out, image_.hasKey && BigEndian16(row) == image_.key[0]
                         ? 0
                         : Bgra(gray, gray, gray, 255));
        }
        return;
      case kRgb:
        if (deep) return Rgb16(row, out);
        return Rgb8(row, out);
      case kGrayAlpha: {
        uint8_t* pixel = out;
        for (uint32_t x = 0; x < width; ++x, pixel += 4, row += deep ? 4 : 2) {
          pixel[0] = pixel[1] = pixel[2] = deep ? Scale16(row) : row[0];
          pixel[3] = deep ? Scale16(row + (deep ? 2 : 1)) : row[1];
        }
        break;
      }
      case kRgba:
        if (deep) {
          for (size_t i = 0; i < size_t{width} * 4; ++i) out[i] = Scale16(row + 2 * i);
        } else {
          std::memcpy(out, row, size_t{width} * 4);
        }
        break;
      default:
        return;
    }
    // While the row is still in the cache.
    PremultiplyRgbaToBgra(out, width);
  }

 private:
  void Lookup(const uint8_t* row, uint8_t* out) const {
    const unsigned depth = image_.bitDepth;
    if (depth == 8) {
      for (uint32_t x = 0; x < image_.width; ++x, out += 4) Store(out, table_[row[x]]);
      return;
    }
    const unsigned mask = (1u << depth) - 1, perByte = 8 / depth;
    for (uint32_t x = 0; x < image_.width; ++x, out += 4) {
      const unsigned shift = 8 - depth * (x % perByte + 1);
      Store(out, table_[(row[x / perByte] >> shift) & mask]);
    }
  }

  void Rgb8(const uint8_t* row, uint8_t* out) const {
    const uint8_t keyRed = uint8_t(image_.key[0]), keyGreen = uint8_t(image_.key[1]),
                  keyBlue = uint8_t(image_.key[2]);
    for (uint32_t x = 0; x < image_.width; ++x, row += 3, out += 4) {
      const bool clear =
          image_.hasKey && row[0] == keyRed && row[1] == keyGreen && row[2] == keyBlue;
      Store(out, clear ? 0 : Bgra(row[0], row[1], row[2], 255));
    }
  }

  void Rgb16(const uint8_t* row, uint8_t* out) const {
    for (uint32_t x = 0; x < image_.width; ++x, row += 6, out += 4) {
      const bool clear = image_.hasKey && BigEndian16(row) == image_.key[0] &&
                         BigEndian16(row + 2) == image_.key[1] &&
                         BigEndian16(row + 4) == image_.key[2];
      Store(out, clear ? 0 : Bgra(Scale16(row), Scale16(row + 2), Scale16(row + 4), 255));
    }
  }

  const CImage& image_;
  uint32_t table_[256] = {};
};

Verdict RefuseBadFilter(ImageDescriptor* descriptor) {
  Refuse(descriptor, kPngDataStage, "bad adaptive filter value");
  return Verdict::kRefused;
}

// Inflates the IDAT data into `filtered` (rows of `stride` bytes: a filter byte, then the row).
// Data in several chunks is joined first, in pages of its own that go back to the system as soon
// as the rows are out: taken from the heap, they would stay resident beside the pixels while
// those are handed over, since the worker keeps freed heap for the next image.
Verdict Inflate(const CDataRun& run, size_t stride, size_t expected, uint8_t* filtered,
                ImageDescriptor* descriptor) {
  const uint8_t* stream = run.chunks.empty() ? nullptr : run.chunks[0].payload;
  CMapping joined;
  if (run.chunks.size() > 1) {
    // Faulted in by one call rather than one exception a page: every page is written next.
    void* pages = ::mmap(nullptr, run.total, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (pages == MAP_FAILED) return Verdict::kHandedOff;
    joined = CMapping(pages, run.total);
    for (const CDataChunk& chunk : run.chunks) {
      std::memcpy(joined.As<uint8_t>() + chunk.start, chunk.payload, chunk.length);
    }
    stream = joined.As<uint8_t>();
  }
  if (!PlainZlibHeader(stream, run.total, expected)) return Verdict::kHandedOff;
  std::unique_ptr<libdeflate_decompressor, CDecompressorFree> decompressor(
      libdeflate_alloc_decompressor());
  if (decompressor == nullptr) return Verdict::kHandedOff;
  size_t consumed = 0, produced = 0;
  // The Adler-32 is not checked: the libpng path skips it too, each byte is under a chunk CRC.
  const libdeflate_result result = libdeflate_deflate_decompress_ex(
      decompressor.get(), stream + 2, run.total - 2, filtered, expected, &consumed, &produced);
  if (result != LIBDEFLATE_SUCCESS) return Verdict::kHandedOff;  // damaged, or more data
  const size_t end = 2 + consumed + 4;                           // after the check value
  if (produced < expected) {
    // libpng meets the rows that are there in order, then reads on for more data and stops at
    // the next chunk. With every IDAT chunk whole and right, and that chunk's header sound, it
    // is sure what it says: a bad filter first, then that the data ended.
    if (!run.allIntact || !run.cleanEnd) return Verdict::kHandedOff;
    for (size_t at = 0; at + stride <= produced; at += stride) {
      if (filtered[at] >= kFilterCount) return RefuseBadFilter(descriptor);
    }
    Refuse(descriptor, kPngDataStage, "Not enough image data");
    return Verdict::kRefused;
  }
  // libpng reads on to the stream's end and its check value, no further: the chunks up to there
  // must be whole and right, the rest it never looks at.
  if (end > run.total) return Verdict::kHandedOff;
  for (const CDataChunk& chunk : run.chunks) {
    if (chunk.start >= end) break;
    if (!chunk.intact) return Verdict::kHandedOff;
  }
  return Verdict::kContinue;
}

PngFastResult Decode(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
                     uint32_t* pixelsSize) {
  CImage image;
  size_t at = 0;
  Verdict verdict = ReadIhdr(data, length, &image, descriptor);
  if (verdict == Verdict::kContinue) {
    verdict = ReadChunksBeforeData(data, length, &image, &at, descriptor);
  }
  if (verdict != Verdict::kContinue) {
    return verdict == Verdict::kRefused ? PngFastResult::kRefused : PngFastResult::kHandedOff;
  }
  CDataRun run;
  GatherData(data, length, at, image, &run);

  const size_t stride = image.rowBytes + 1;
  const size_t expected = stride * image.height;
  const size_t outputStride = size_t{image.width} * 4;
  const size_t outputBytes = outputStride * image.height;
  // One block holds the inflated rows at its end and becomes the pixels: each output row lands
  // before the rows still to be read, one row of slack ahead. That is half the fresh pages of
  // separate buffers, and page faults are a good part of a load. Deflate expands at most 1032
  // to 1: data that cannot fill the rows is libpng's to judge, before a block sized by the
  // header is asked for.
  if (run.total < 2 || (run.total - 2) * kMostInflated + kMostInflated < expected) {
    return PngFastResult::kHandedOff;
  }
  const size_t blockBytes = std::max(outputBytes, expected + outputStride);
  // Where memory is short, libpng (which needs less) tries, and words a failure its own way.
  CBuffer block(static_cast<uint8_t*>(std::malloc(blockBytes)));
  CBuffer spare(static_cast<uint8_t*>(std::calloc(image.rowBytes, 1)));  // starts as the row above
  if (block == nullptr || spare == nullptr) return PngFastResult::kHandedOff;
  uint8_t* const filtered = block.get() + (blockBytes - expected);
  verdict = Inflate(run, stride, expected, filtered, descriptor);
  if (verdict != Verdict::kContinue) {
    return verdict == Verdict::kRefused ? PngFastResult::kRefused : PngFastResult::kHandedOff;
  }

  const CRowExpander expander(image);
  const uint8_t* previous = spare.get();
  for (uint32_t y = 0; y < image.height; ++y) {
    uint8_t* row = filtered + y * stride;
    if (row[0] >= kFilterCount) {
      RefuseBadFilter(descriptor);
      return PngFastResult::kRefused;
    }
    if (row[0] != kFilterNone) {
      UnfilterRow(row[0], row + 1, previous, image.rowBytes, image.bytesPerPixel);
    }
    uint8_t* out = block.get() + y * outputStride;
    const uint8_t* source = row + 1;
    if (out + outputStride > source) {
      // Wider output rows catch up with the last rows; the row above is no longer needed.
      std::memcpy(spare.get(), source, image.rowBytes);
      source = spare.get();
    }
    expander.Expand(source, out);
    previous = source;
  }
  uint8_t* result = block.release();
  if (blockBytes > outputBytes) {
    if (void* shrunk = std::realloc(result, outputBytes)) result = static_cast<uint8_t*>(shrunk);
  }
  descriptor->Width = image.width;
  descriptor->Height = image.height;
  descriptor->VectorFlag = 0;
  *pixels = result;
  *pixelsSize = static_cast<uint32_t>(outputBytes);
  return PngFastResult::kDecoded;
}

}  // namespace

PngFastResult DecodePngFast(const uint8_t* data, size_t length, ImageDescriptor* descriptor,
                            void** pixels, uint32_t* pixelsSize) {
  *pixels = nullptr;
  *pixelsSize = 0;
  if (!CheckPngArguments(data, length, descriptor) || !CheckPngStart(data, length, descriptor)) {
    return PngFastResult::kRefused;
  }
  try {
    return Decode(data, length, descriptor, pixels, pixelsSize);
  } catch (const std::bad_alloc&) {
    return PngFastResult::kHandedOff;  // the list of IDAT chunks
  }
}

}  // namespace tessel::codec
