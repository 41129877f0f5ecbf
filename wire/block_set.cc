#include "wire/block_set.h"

#include <cstring>
#include <limits>

namespace tessel {
namespace {

// The peer may rewrite the table while we read it: each word is read exactly once.
uint32_t ReadWord(const unsigned char* at) {
  const volatile unsigned char* from = at;
  return static_cast<uint32_t>(from[0]) | static_cast<uint32_t>(from[1]) << 8 |
         static_cast<uint32_t>(from[2]) << 16 | static_cast<uint32_t>(from[3]) << 24;
}

void WriteWord(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

Block CBlockSetView::At(uint32_t index) const {
  if (index >= ends_.size()) return {};
  const uint32_t begin = index == 0 ? 4 + 4 * Count() : ends_[index - 1];
  return Block(start_ + begin, ends_[index] - begin);
}

bool ParseBlockSet(const unsigned char* data, uint32_t dataSize, CBlockSetView& view,
                   uint64_t& claimed) {
  return ParseBlockSet(data, dataSize, std::numeric_limits<uint32_t>::max(), view, claimed) ==
         BlockSetFault::kNone;
}

BlockSetFault ParseBlockSet(const unsigned char* data, uint32_t dataSize, uint32_t maxCount,
                            CBlockSetView& view, uint64_t& claimed) {
  view = CBlockSetView();
  if (dataSize < 4) {
    claimed = 4;
    return BlockSetFault::kSizeMismatch;
  }
  const uint32_t count = ReadWord(data);
  if (count > maxCount) {
    claimed = count;
    return BlockSetFault::kTooManyBlocks;
  }
  const uint64_t tableEnd = 4 + 4 * static_cast<uint64_t>(count);
  claimed = tableEnd;
  if (tableEnd > dataSize) return BlockSetFault::kSizeMismatch;

  std::vector<uint32_t> ends(count);
  uint64_t end = tableEnd;
  for (uint32_t i = 0; i < count; ++i) {
    end += ReadWord(data + 4 + 4 * static_cast<size_t>(i));
    // Past the data size the ends no longer fit 32 bits; keep summing only for the message.
    ends[i] = static_cast<uint32_t>(end);
  }
  claimed = end;
  if (end != dataSize) return BlockSetFault::kSizeMismatch;
  view.start_ = data;
  view.total_ = dataSize;
  view.ends_ = std::move(ends);
  return BlockSetFault::kNone;
}

uint64_t BlockSetSize(BlockList blocks) {
  uint64_t total = 4;
  for (const Block& block : blocks) total += 4 + static_cast<uint64_t>(block.size());
  return total;
}

bool WriteBlockSet(unsigned char* destination, size_t capacity, BlockList blocks) {
  const uint64_t total = BlockSetSize(blocks);
  if (total > capacity || total > std::numeric_limits<uint32_t>::max()) return false;
  WriteWord(destination, static_cast<uint32_t>(blocks.size()));
  unsigned char* at = destination + 4;
  for (const Block& block : blocks) {
    WriteWord(at, static_cast<uint32_t>(block.size()));
    at += 4;
  }
  for (const Block& block : blocks) {
    if (!block.empty()) std::memcpy(at, block.data(), block.size());
    at += block.size();
  }
  return true;
}

}  // namespace tessel
