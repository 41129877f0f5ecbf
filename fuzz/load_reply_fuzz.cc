// Decodes arbitrary bytes as a worker's Load reply the way the client does: the output area split
// into its block set, then the descriptor and pixels checked against each other. A reply that
// passes must be consistent whatever the worker wrote.
//
// Input: u64 id, one byte of flags (bit 0: copy the pixels, bit 1: a Status other than 1), then
// the output area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "client/block_set.h"
#include "client/image_client.h"

namespace {

constexpr size_t kHeader = 9;

bool Terminated(const char* text, size_t size) {
  return std::memchr(text, 0, size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  uint64_t id = 0;
  std::memcpy(&id, data, sizeof id);
  const uint8_t flags = data[8];
  const size_t areaSize = size - kHeader;
  // An exact-size copy, so a read past the area is caught by the sanitizers.
  std::unique_ptr<unsigned char[]> area(new unsigned char[areaSize == 0 ? 1 : areaSize]);
  if (areaSize > 0) std::memcpy(area.get(), data + kHeader, areaSize);

  tessel::Reply reply;
  reply.result = 1;
  reply.status = (flags & 2) != 0 ? static_cast<int32_t>(data[0]) - 1 : 1;
  reply.dataSize = static_cast<uint32_t>(areaSize);
  if (!tessel::DecodeBlockSet({area.get(), areaSize}, reply.blocks).Ok()) return 0;

  const tessel::PixelStorage storage =
      (flags & 1) != 0 ? tessel::PixelStorage::kCopy : tessel::PixelStorage::kView;
  tessel::Result<tessel::LoadedImage> loaded = tessel::DecodeLoadReply(reply, id, storage);
  if (!loaded) {
    if (loaded.Error().Message().empty()) std::abort();
    return 0;
  }
  if (reply.status != 1 || reply.blocks.size() != 2 ||
      reply.blocks[0].size() != sizeof(ImageDescriptor))
    std::abort();
  const ImageDescriptor& descriptor = loaded->Descriptor();
  if (descriptor.Id != id || !Terminated(descriptor.ErrorSource, sizeof descriptor.ErrorSource) ||
      !Terminated(descriptor.ErrorMessage, sizeof descriptor.ErrorMessage))
    std::abort();
  const std::span<const std::byte> pixels = loaded->Pixels();
  uint64_t expected = 0;
  TesselRasterBytes(loaded->PixelWidth(), loaded->PixelHeight(), UINT64_MAX, &expected);
  if (pixels.size() != expected || loaded->Copied() != (storage == tessel::PixelStorage::kCopy))
    std::abort();
  // A view points into the area; a copy holds the same bytes.
  const auto* first = reinterpret_cast<const unsigned char*>(reply.blocks[1].data());
  if (!pixels.empty()) {
    if (loaded->Copied() ? std::memcmp(pixels.data(), first, pixels.size()) != 0
                         : reinterpret_cast<const unsigned char*>(pixels.data()) != first)
      std::abort();
    if (first < area.get() || first + pixels.size() > area.get() + areaSize) std::abort();
  }
  volatile std::byte last = pixels.empty() ? std::byte{} : pixels.back();
  (void)last;
  return 0;
}
