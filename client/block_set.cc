#include "client/block_set.h"

#include <cstring>

#include "client/message.h"

namespace tessel {

namespace {

using client_detail::Format;

void StoreLe32(unsigned char* to, uint32_t value) {
  for (int i = 0; i < 4; ++i) to[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One read of four bytes the worker may be rewriting; the value used is the value checked.
uint32_t LoadLe32(const unsigned char* from) {
  const volatile unsigned char* bytes = from;
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return value;
}

}  // namespace

uint64_t EncodedBlockSetSize(std::span<const BlockSpan> blocks) {
  uint64_t total = 4;
  for (const BlockSpan& block : blocks) total += 4 + static_cast<uint64_t>(block.size());
  return total;
}

void EncodeBlockSet(std::span<const BlockSpan> blocks, unsigned char* to) {
  StoreLe32(to, static_cast<uint32_t>(blocks.size()));
  unsigned char* sizes = to + 4;
  unsigned char* data = sizes + 4 * blocks.size();
  for (const BlockSpan& block : blocks) {
    StoreLe32(sizes, static_cast<uint32_t>(block.size()));
    sizes += 4;
    if (!block.empty()) std::memcpy(data, block.data(), block.size());
    data += block.size();
  }
}

Status DecodeBlockSet(std::span<const unsigned char> area, std::vector<BlockSpan>& blocks) {
  blocks.clear();
  if (area.size() < 4) {
    return Status(
        ErrorKind::kBadOutput,
        Format("worker wrote an output of %zu bytes, too short for a block set", area.size()));
  }
  const uint32_t count = LoadLe32(area.data());
  const uint64_t header = 4 + 4 * static_cast<uint64_t>(count);
  if (header > area.size()) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker's output claims %u blocks, more than its %zu bytes can hold",
                         count, area.size()));
  }
  std::vector<uint32_t> sizes(count);
  uint64_t total = header;
  for (uint32_t i = 0; i < count; ++i) {
    sizes[i] = LoadLe32(area.data() + 4 + 4 * static_cast<size_t>(i));
    total += sizes[i];
  }
  if (total != area.size()) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker's output blocks add up to %llu bytes, but its DataSize is %zu",
                         static_cast<unsigned long long>(total), area.size()));
  }
  blocks.reserve(count);
  const auto* data = reinterpret_cast<const std::byte*>(area.data()) + header;
  for (uint32_t size : sizes) {
    blocks.emplace_back(data, size);
    data += size;
  }
  return Status();
}

}  // namespace tessel
