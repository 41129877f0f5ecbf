#include "wire/wide_text.h"

namespace tessel {

std::vector<std::byte> WideTextBytes(std::u16string_view text) {
  std::vector<std::byte> bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::byte>(unit & 0xff));
    bytes.push_back(static_cast<std::byte>(unit >> 8));
  }
  bytes.insert(bytes.end(), 2, std::byte{0});
  return bytes;
}

bool ReadWideText(Block block, std::u16string& text) {
  if (block.size() % 2 != 0) return false;
  std::u16string copy(block.size() / 2, u'\0');
  for (size_t i = 0; i < copy.size(); ++i) {
    copy[i] = static_cast<char16_t>(block[2 * i] | block[2 * i + 1] << 8);
  }
  const size_t end = copy.find(u'\0');
  if (end == std::u16string::npos) return false;
  copy.resize(end);
  text = std::move(copy);
  return true;
}

}  // namespace tessel
