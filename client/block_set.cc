#include "client/block_set.h"

#include <array>

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

// The worker can rewrite the area while we read it: each word is read exactly once.
uint32_t ReadWord(const unsigned char* at) {
  const volatile unsigned char* from = at;
  return static_cast<uint32_t>(from[0]) | static_cast<uint32_t>(from[1]) << 8 |
         static_cast<uint32_t>(from[2]) << 16 | static_cast<uint32_t>(from[3]) << 24;
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
  auto badSum = [&](uint64_t claimed) {
    return Status(ErrorKind::kBadOutput,
                  client_detail::Format(
                      "worker's output blocks add up to %llu bytes, but its DataSize is %zu",
                      static_cast<unsigned long long>(claimed), area.size()));
  };
  if (area.size() < 4) return badSum(4);
  // Parsed here rather than by the channel's parser, which sets aside room for as many blocks as
  // the count says before anything can refuse it.
  const uint32_t count = ReadWord(area.data());
  if (count > kMaxReplyBlocks) {
    return Status(ErrorKind::kBadOutput,
                  client_detail::Format("worker's output claims %u blocks; a reply has at most %u",
                                        count, kMaxReplyBlocks));
  }
  const uint64_t tableEnd = 4 + 4 * uint64_t{count};
  if (tableEnd > area.size()) return badSum(tableEnd);
  // Sixteen sizes of at most 2^32 - 1 cannot wrap 64 bits.
  std::array<uint64_t, kMaxReplyBlocks> ends{};
  uint64_t end = tableEnd;
  for (uint32_t i = 0; i < count; ++i) {
    end += ReadWord(area.data() + 4 + 4 * size_t{i});
    ends[i] = end;
  }
  if (end != area.size()) return badSum(end);
  blocks.reserve(count);
  uint64_t begin = tableEnd;
  for (uint32_t i = 0; i < count; ++i) {
    blocks.emplace_back(reinterpret_cast<const std::byte*>(area.data() + begin), ends[i] - begin);
    begin = ends[i];
  }
  return Status();
}

}  // namespace tessel
