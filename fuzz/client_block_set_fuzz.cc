// Decodes arbitrary bytes as a block set the way the client reads a worker's output, and checks
// that every block it hands out lies inside the area and that the blocks re-encode to the area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "client/block_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so a read past the area is caught by the sanitizers.
  std::unique_ptr<unsigned char[]> area(new unsigned char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(area.get(), data, size);
  std::vector<tessel::BlockSpan> blocks;
  if (!tessel::DecodeBlockSet({area.get(), size}, blocks).Ok()) return 0;
  for (const auto& block : blocks) {
    const auto* first = reinterpret_cast<const unsigned char*>(block.data());
    if (block.size() > 0 && (first < area.get() || first + block.size() > area.get() + size)) {
      std::abort();
    }
  }
  if (tessel::EncodedBlockSetSize(blocks) != size) std::abort();
  std::vector<unsigned char> again(size);
  tessel::EncodeBlockSet(blocks, again.data());
  if (size > 0 && std::memcmp(again.data(), area.get(), size) != 0) std::abort();
  return 0;
}
