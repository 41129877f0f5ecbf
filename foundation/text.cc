#include "foundation/text.h"

#include <array>
#include <atomic>
#include <cstring>

namespace tessel {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::atomic<uint32_t> g_tableBuilds{0};

std::array<uint8_t, 256> BuildUpperCaseTable() {
  g_tableBuilds.fetch_add(1, std::memory_order_relaxed);
  std::array<uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = static_cast<uint8_t>(b);
  for (int b = 'a'; b <= 'z'; ++b) table[b] = static_cast<uint8_t>(b - 0x20);
  // The small Cyrillic letters of the single-byte Cyrillic code page, and its small io.
  for (int b = 0xE0; b <= 0xFF; ++b) table[b] = static_cast<uint8_t>(b - 0x20);
  table[0xB8] = 0xA8;
  return table;
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  if (text.empty()) return out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  // Each maximal ill-formed subsequence becomes one U+FFFD; the byte that breaks a sequence
  // starts the next one. The narrowed second-byte ranges reject overlong forms, surrogates
  // and values above U+10FFFF.
  while (i < n) {
    unsigned char lead = s[i++];
    if (lead < 0x80) {
      out.push_back(lead);
      continue;
    }
    int trail;
    uint32_t cp;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      continue;
    }
    bool complete = true;
    for (int k = 0; k < trail; ++k) {
      if (i >= n || s[i] < low || s[i] > high) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (s[i++] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (complete) {
      AppendCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);
    }
  }
  return out;
}

std::u16string AnsiTextToWide(const char* text) {
  if (text == nullptr) return std::u16string();
  return AnsiToWide(std::string_view(text, std::strlen(text)));
}

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  if (text.empty()) return out;
  out.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = text[i];
    uint32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      cp = kReplacement;
      if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      }
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string ToUpperHex(const void* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const uint8_t* table = UpperCaseTable();
  const auto* in = static_cast<const uint8_t*>(bytes);
  std::string out(count * 2, '\0');
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = static_cast<char>(table[static_cast<uint8_t>(kDigits[in[i] >> 4])]);
    out[2 * i + 1] = static_cast<char>(table[static_cast<uint8_t>(kDigits[in[i] & 0x0F])]);
  }
  return out;
}

const uint8_t* UpperCaseTable() {
  // A function-local static is initialised exactly once, however many threads arrive first.
  static const std::array<uint8_t, 256> table = BuildUpperCaseTable();
  return table.data();
}

uint32_t UpperCaseTableBuilds() {
  return g_tableBuilds.load(std::memory_order_relaxed);
}

}  // namespace tessel
