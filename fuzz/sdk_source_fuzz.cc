// Hands arbitrary bytes to the public API the way an application does, and runs every check a
// load makes before it needs a worker: the format sniffed from the content, the Source read
// from bytes or a stream, the name the worker is told, a PNG header answered without a worker and
// targets refused by the pixel limit. No worker starts here: the harness only asks for what the
// loader must answer on its own, and the worker path leads nowhere in case it does not.
//
// Input: one byte of flags (bits 0-1: the format asked for, bit 2: read from a stream), u32 target
// width and height, one byte of name length, the name, then the content.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "client/png_header.h"
#include "sdk/internal.h"
#include "tessel/loader.h"
#include "wire/image_descriptor.h"

namespace {

constexpr size_t kHeader = 10;
constexpr uint64_t kPixelLimit = uint64_t{1} << 20;

uint32_t Little32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

tessel::Loader& TheLoader() {
  static tessel::Loader* loader = [] {
    tessel::LoaderOptions options;
    options.workers = 1;
    options.maxPixelBytes = kPixelLimit;
    options.workerPath = "/nonexistent/tessel-fuzz/Tessel";
    return new tessel::Loader(options);
  }();
  return *loader;
}

// The worker reads the extension in any case.
bool EndsWithFolded(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text.remove_prefix(text.size() - suffix.size());
  return std::equal(text.begin(), text.end(), suffix.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessel::ErrorCode;
  using tessel::ImageFormat;
  if (size < kHeader) return 0;
  const uint8_t flags = data[0];
  const tessel::LoadOptions target{Little32(data + 1), Little32(data + 5)};
  const size_t nameSize = std::min<size_t>(data[9], size - kHeader);
  const std::string name(reinterpret_cast<const char*>(data + kHeader), nameSize);
  const auto* content = reinterpret_cast<const std::byte*>(data + kHeader + nameSize);
  const std::span<const std::byte> bytes(content, size - kHeader - nameSize);

  const auto asked = static_cast<ImageFormat>((flags & 3) % 3);
  std::istringstream stream(std::string(reinterpret_cast<const char*>(content), bytes.size()));
  tessel::Source source =
      (flags & 4) != 0 ? tessel::Source::FromStream(stream) : tessel::Source::FromBytes(bytes);
  source.Format(asked);
  if (!name.empty()) source.Name(name);

  const ImageFormat sniffed = tessel::SniffFormat(bytes);
  if (sniffed == ImageFormat::kPng && !tessel::HasPngSignature(bytes)) std::abort();
  tessel::ReadSource read;
  const tessel::LoadError error = tessel::Read(source, read);
  const ImageFormat expected = asked != ImageFormat::kAuto ? asked : sniffed;
  if (expected == ImageFormat::kAuto) {
    if (error || error.Code() != ErrorCode::kUnsupportedFormat) std::abort();
    return 0;
  }
  if (!error || read.format != expected || !read.bytes || read.bytes->size() != bytes.size() ||
      (!bytes.empty() && std::memcmp(read.bytes->data(), content, bytes.size()) != 0))
    std::abort();
  // The worker picks its decoder by the extension, and must never be handed a path.
  if (!EndsWithFolded(read.workerName, expected == ImageFormat::kPng ? ".png" : ".svg") ||
      read.workerName.find('/') != std::string::npos)
    std::abort();

  // Only what the loader answers without a worker. A stream source is read again from its start.
  const auto rewind = [&] {
    stream.clear();
    stream.seekg(0);
  };
  uint64_t pixelBytes = 0;
  if (expected == ImageFormat::kPng) {
    const std::optional<tessel::PngHeader> header = tessel::ParsePngHeader(bytes);
    if (!header) return 0;
    tessel::ImageInfo info;
    rewind();
    if (!TheLoader().Info(source, info) || info.format != ImageFormat::kPng ||
        info.width != header->width || info.height != header->height)
      std::abort();
    if (TesselRasterBytes(header->width, header->height, kPixelLimit, &pixelBytes)) return 0;
  } else if (target.width == 0 || target.height == 0 ||
             TesselRasterBytes(target.width, target.height, kPixelLimit, &pixelBytes)) {
    return 0;
  }
  tessel::Image image;
  rewind();
  if (TheLoader().Load(source, image, target).Code() != ErrorCode::kTooLarge || !image.Empty())
    std::abort();
  return 0;
}
