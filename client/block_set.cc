#include "client/block_set.h"

#include <limits>

#include "client/message.h"
#include "wire/block_set.h"

namespace tessel {
namespace {

std::vector<Block> AsBlocks(std::span<const BlockSpan> blocks) {
  std::vector<Block> list;
  list.reserve(blocks.size());
  for (const BlockSpan& block : blocks) {
    list.emplace_back(reinterpret_cast<const unsigned char*>(block.data()), block.size());
  }
  return list;
}

}  // namespace

uint64_t EncodedBlockSetSize(std::span<const BlockSpan> blocks) {
  return BlockSetSize(AsBlocks(blocks));
}

void EncodeBlockSet(std::span<const BlockSpan> blocks, unsigned char* to) {
  const std::vector<Block> list = AsBlocks(blocks);
  WriteBlockSet(to, BlockSetSize(list), list);
}

Status DecodeBlockSet(std::span<const unsigned char> area, std::vector<BlockSpan>& blocks) {
  blocks.clear();
  // The area's size is the worker's DataSize, a 32-bit field.
  if (area.size() > std::numeric_limits<uint32_t>::max()) {
    return Status(ErrorKind::kBadOutput,
                  client_detail::Format(
                      "worker's output of %zu bytes is larger than a reply can be", area.size()));
  }
  CBlockSetView view;
  uint64_t claimed = 0;
  const BlockSetFault fault = ParseBlockSet(area.data(), static_cast<uint32_t>(area.size()),
                                            kMaxReplyBlocks, view, claimed);
  if (fault == BlockSetFault::kTooManyBlocks) {
    return Status(
        ErrorKind::kBadOutput,
        client_detail::Format("worker's output claims %llu blocks; a reply has at most %u",
                              static_cast<unsigned long long>(claimed), kMaxReplyBlocks));
  }
  if (fault != BlockSetFault::kNone) {
    return Status(ErrorKind::kBadOutput,
                  client_detail::Format(
                      "worker's output blocks add up to %llu bytes, but its DataSize is %zu",
                      static_cast<unsigned long long>(claimed), area.size()));
  }
  blocks.reserve(view.Count());
  for (uint32_t i = 0; i < view.Count(); ++i) {
    const Block block = view.At(i);
    blocks.emplace_back(reinterpret_cast<const std::byte*>(block.data()), block.size());
  }
  return Status();
}

}  // namespace tessel
