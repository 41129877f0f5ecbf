#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Block set: u32 count N, N u32 sizes, then the N blocks back to back; little-endian, no
// padding. The layout of every command's input and of the image replies.
namespace tessel {

using Block = std::span<const unsigned char>;
using BlockList = std::span<const Block>;

// Why a block set was refused.
enum class BlockSetFault {
  kNone,
  kTooManyBlocks,  // the count is above the caller's cap
  kSizeMismatch,   // the table runs past the data, or the sizes do not add up to it
};

// A block set whose count and size table were read once and checked against its data size.
// Every block lies inside the checked set, whatever the peer writes into the table afterwards.
class CBlockSetView {
 public:
  CBlockSetView() = default;

  uint32_t Count() const { return static_cast<uint32_t>(ends_.size()); }
  uint32_t TotalSize() const { return total_; }
  const unsigned char* Start() const { return start_; }
  // An empty block for an index past the count.
  Block At(uint32_t index) const;

 private:
  friend BlockSetFault ParseBlockSet(const unsigned char*, uint32_t, uint32_t, CBlockSetView&,
                                     uint64_t&);

  const unsigned char* start_ = nullptr;
  uint32_t total_ = 0;
  std::vector<uint32_t> ends_;  // offset just past each block, from Start()
};

// Reads the block set at `data`, of which `dataSize` bytes are readable, and reads nothing
// beyond them. True when the size table stays inside `dataSize` and 4 + 4 N + the sum of the
// sizes equals it exactly. `claimed` gets the size the table claims, in 64 bits so that a sum
// that would wrap 32 bits is shown as what it is (for a table that runs past `dataSize`, the
// size of the table alone).
bool ParseBlockSet(const unsigned char* data, uint32_t dataSize, CBlockSetView& view,
                   uint64_t& claimed);
// The same for a peer whose block sets carry at most `maxCount` blocks: a count above it is
// refused (`claimed` then gets the count) before anything is sized by it.
BlockSetFault ParseBlockSet(const unsigned char* data, uint32_t dataSize, uint32_t maxCount,
                            CBlockSetView& view, uint64_t& claimed);

// 4 + the sum of (4 + size), in 64 bits.
uint64_t BlockSetSize(BlockList blocks);

// Writes the count, the size table and the blocks at `destination`. Writes nothing and returns
// false when the block set does not fit into `capacity` or its size does not fit 32 bits.
bool WriteBlockSet(unsigned char* destination, size_t capacity, BlockList blocks);

}  // namespace tessel
