// Drives the worker's image side in-process with the real codec library next to the program:
// a Load whose request blocks come from the input, a second Load of the same Id at another size
// (the kept image), then a Free. Every reply must hold exactly what its descriptor claims.
//
// Input: flags (1), target width (1), target height (1), length adjustment (1), then the rest.
//   flags & 3: 0 PNG bytes, 1 SVG bytes, 2 the rest written to a file and named by its path,
//              3 the rest is the whole block set: a count (1) and per block a size (2) and bytes.
//   flags & 4: the name's extension in capitals;  & 8: the name without its NUL;
//   flags & 16: block 5 claims the length plus the adjustment;  & 32: a target that overflows;
//   flags & 64: a file named .svg rather than .png.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "image/image_processor.h"
#include "logging/context_log.h"
#include "wire/block_set.h"

namespace {

using namespace tessel;

// Images within the codec's limit but above this would only measure the fuzzer's malloc limit.
constexpr uint64_t kMaxFuzzedPixelBytes = 64ull << 20;
// Natural SVG sizes rendered as they are; larger ones are rendered small only.
constexpr uint32_t kMaxNaturalSide = 512;
constexpr uint64_t kRequestId = 0x1234567890ull;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "load_request fuzz: %s\n", what);
  std::abort();
}

bool ClaimsHugeImage(const std::string& bytes) {
  if (bytes.size() < 24 || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) return false;
  auto big = [&](size_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  };
  return uint64_t{big(16)} * big(20) * 4 > kMaxFuzzedPixelBytes;
}

// Checks every reply against its own descriptor, as a client must be able to rely on.
class CCheckingWriter final : public IOutputWriter {
 public:
  bool WriteOutput(uint32_t offset, BlockList blocks) override {
    if (offset != 0 || blocks.size() != 2 || blocks[0].size() != sizeof(ImageDescriptor))
      Fail("reply is not a descriptor and pixels");
    std::memcpy(&descriptor, blocks[0].data(), sizeof descriptor);
    if (descriptor.Id != kRequestId) Fail("reply carries another Id");
    const bool vector = descriptor.VectorFlag == 1;
    const uint64_t expected = uint64_t{vector ? descriptor.TargetWidth : descriptor.Width} *
                              (vector ? descriptor.TargetHeight : descriptor.Height) * 4;
    if (blocks[1].size() != expected || expected == 0) Fail("pixels differ from the descriptor");
    volatile unsigned char last = blocks[1][blocks[1].size() - 1];
    (void)last;
    ++replies;
    return true;
  }
  ImageDescriptor descriptor{};
  int replies = 0;
};

struct CFixture {
  CFixture() : log(false) {
    char pattern[] = "/tmp/tessel-fuzz-load-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) Fail("mkdtemp");
    folder = pattern;
    ::setenv("TMPDIR", folder.c_str(), 1);
    log.SetContext("[fuzz] ");
    CLogger::SetThreadFlags(CLogger::ThreadFlags() | CLogger::kThreadLoggingOff);
    processor = std::make_unique<CImageProcessor>();
  }
  ~CFixture() {
    processor.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  static CFixture& Instance() {
    static CFixture fixture;
    return fixture;
  }

  bool Run(uint32_t code, const std::vector<std::string>& blocks) {
    std::vector<Block> list;
    for (const std::string& b : blocks)
      list.emplace_back(reinterpret_cast<const unsigned char*>(b.data()), b.size());
    std::vector<unsigned char> bytes(BlockSetSize(list));
    CBlockSetView view;
    uint64_t claimed = 0;
    if (!WriteBlockSet(bytes.data(), bytes.size(), list) ||
        !ParseBlockSet(bytes.data(), static_cast<uint32_t>(bytes.size()), view, claimed)) {
      Fail("cannot build the block set");
    }
    std::memset(control, 0, sizeof control);
    const std::string session = "fuzz";
    return processor->RunImageCommand(
        CImageCommand{code, CControlBlockView(control), &view, writer, session, log});
  }

  std::string folder;
  CContextLog log;
  CCheckingWriter writer;
  unsigned char control[sizeof(CControlBlock)] = {};
  std::unique_ptr<CImageProcessor> processor;
};

std::string Word(uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string Request(uint32_t width, uint32_t height) {
  ImageDescriptor request{};
  request.Id = kRequestId;
  request.TargetWidth = width;
  request.TargetHeight = height;
  return std::string(reinterpret_cast<const char*>(&request), sizeof request);
}

std::string WideName(const std::string& name, bool terminated) {
  std::string wide;
  for (char c : name) wide.append({c, '\0'});
  if (terminated) wide.append(2, '\0');
  return wide;
}

// The block set given whole by the input.
std::vector<std::string> RawBlocks(const uint8_t* data, size_t size) {
  std::vector<std::string> blocks;
  if (size == 0) return blocks;
  const size_t count = data[0] % 8;
  size_t at = 1;
  for (size_t i = 0; i < count; ++i) {
    size_t length = at + 2 <= size ? data[at] | size_t{data[at + 1]} << 8 : 0;
    at = std::min(at + 2, size);
    length = std::min(length, size - at);
    blocks.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  return blocks;
}

}  // namespace

// fontconfig keeps what it loads for text for the life of the process, by design.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFixture& fixture = CFixture::Instance();
  const uint8_t flags = size > 0 ? data[0] : 0;
  const uint32_t width = size > 1 ? data[1] : 0;
  const uint32_t height = size > 2 ? data[2] : 0;
  const int adjustment = size > 3 ? static_cast<int8_t>(data[3]) : 0;
  const size_t skip = std::min<size_t>(size, 4);
  const std::string rest(reinterpret_cast<const char*>(data) + skip, size - skip);
  const int mode = flags & 3;

  std::vector<std::string> blocks;
  if (mode == 3) {
    blocks = RawBlocks(data + skip, size - skip);
    for (const std::string& block : blocks) {
      if (ClaimsHugeImage(block)) return 0;
    }
    // Our Id, and a small size: natural SVG sizes come from the input too.
    if (blocks.size() >= 2 && blocks[1].size() == sizeof(ImageDescriptor))
      blocks[1] = Request(width % 64 + 1, height % 64 + 1);
  } else {
    if (ClaimsHugeImage(rest)) return 0;
    const bool vector = mode == 1 || (mode == 2 && (flags & 64) != 0);
    std::string extension = vector ? ".svg" : ".png";
    if (flags & 4) extension = vector ? ".SVG" : ".PNG";
    std::string name = "image" + extension;
    if (mode == 2) {
      name = fixture.folder + "/input" + extension;
      std::ofstream(name, std::ios::binary | std::ios::trunc) << rest;
    }
    uint32_t length = static_cast<uint32_t>(rest.size());
    if (flags & 16) length += adjustment;
    // Rendering at 0 means the natural size, which is unknown until the image is loaded.
    const bool huge = (flags & 32) != 0;
    blocks = {Word(mode == 2 ? 1 : 0),
              Request(huge ? 65536 : std::max(width, 1u), huge ? 16384 : std::max(height, 1u)),
              WideName(name, (flags & 8) == 0), mode == 2 ? std::string() : rest, Word(length)};
  }

  fixture.writer.replies = 0;
  const bool loaded = fixture.Run(kCommandLoad, blocks);
  if (loaded != (fixture.writer.replies == 1)) Fail("Load succeeded without a reply, or the reverse");
  if (loaded && blocks.size() >= 2 && blocks[1].size() == sizeof(ImageDescriptor)) {
    const ImageDescriptor& kept = fixture.writer.descriptor;
    const bool small = kept.Width <= kMaxNaturalSide && kept.Height <= kMaxNaturalSide;
    // The kept image again, at the asked size (0 = natural) when that stays small.
    blocks[1] = small ? Request(width, height) : Request(width % 64 + 1, height % 64 + 1);
    fixture.writer.replies = 0;
    if (fixture.Run(kCommandLoad, blocks) != (fixture.writer.replies == 1))
      Fail("second Load succeeded without a reply, or the reverse");
  }
  if (!fixture.Run(kCommandFree, {Request(0, 0)})) Fail("Free of a well-formed request failed");
  if (fixture.processor->Images().Size() != 0) Fail("an image outlived its Free");
  return 0;
}
