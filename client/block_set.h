#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "client/status.h"

// Block sets as they cross the channel: a 32-bit count, the 32-bit sizes, then the blocks back to
// back, little-endian and unpadded.
namespace tessel {

using BlockSpan = std::span<const std::byte>;

// The encoded size of `blocks`, 64-bit so that callers can see it exceed what DataSize can hold.
uint64_t EncodedBlockSetSize(std::span<const BlockSpan> blocks);

// Writes `blocks` at `to`, which must hold EncodedBlockSetSize(blocks) bytes.
void EncodeBlockSet(std::span<const BlockSpan> blocks, unsigned char* to);

// The most blocks a reply may carry. The worker's answers carry two at most; a count beyond this
// is a broken or hostile worker, refused before anything is sized by it.
inline constexpr uint32_t kMaxReplyBlocks = 16;

// Splits the block set that occupies exactly `area` into its blocks, which then point into
// `area`. The area lies in memory the worker can write at any time: the count and every size are
// read once, the count is at most kMaxReplyBlocks, and the sum is checked in 64 bits, so the
// blocks stay inside `area` whatever the worker writes meanwhile.
Status DecodeBlockSet(std::span<const unsigned char> area, std::vector<BlockSpan>& blocks);

}  // namespace tessel
