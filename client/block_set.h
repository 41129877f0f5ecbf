#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "client/status.h"

// The client's side of the block sets of wire/block_set.h, in std::byte spans and Status values.
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
// `area`. The area lies in memory the worker can write at any time: ParseBlockSet reads the count
// and every size once, refuses a count above kMaxReplyBlocks before sizing anything by it, and
// checks the sum in 64 bits, so the blocks stay inside `area` whatever the worker writes.
Status DecodeBlockSet(std::span<const unsigned char> area, std::vector<BlockSpan>& blocks);

}  // namespace tessel
