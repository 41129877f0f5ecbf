#include "client/block_set.h"

#include "channel/block_set.h"
#include "client/message.h"

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
  CBlockSetView view;
  uint64_t claimed = 0;
  if (area.size() > UINT32_MAX ||
      !ParseBlockSet(area.data(), static_cast<uint32_t>(area.size()), view, claimed)) {
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
