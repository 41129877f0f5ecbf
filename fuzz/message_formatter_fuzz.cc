// Builds a format and up to seven argument records from the input and renders them twice: into a
// lent scratch block of an input-chosen size (an exact-size heap block, so a write past it is
// caught) and into a buffer without one. Text records point into buffers owned here, never at
// addresses taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "logformat/message_formatter.h"

namespace {

class CReader {
 public:
  CReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t Word() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | Byte();
    return v;
  }
  std::string Rest() {
    return std::string(reinterpret_cast<const char*>(data_) + at_, size_ - at_);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "message_formatter fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessel::LogArg;
  using tessel::LogArgType;
  CReader in(data, size);
  const uint8_t head = in.Byte();
  const uint32_t count = head & 7;
  // Scratch sizes: none, the logger's 1024 bytes, or a small odd one from the input.
  const uint8_t scratchKind = (head >> 3) & 3;
  const size_t scratchSize = scratchKind == 1   ? tessel::FormatBuffer::kChunk
                             : scratchKind >= 2 ? in.Byte()
                                                : 0;

  std::vector<std::string> narrow(count);
  std::vector<std::u16string> wide(count);
  std::vector<LogArg> args(count);
  std::vector<bool> counted(count, false);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t kind = in.Byte();
    LogArg& arg = args[i];
    arg.type = static_cast<LogArgType>(kind % 10);  // 0, 8 and 9 are unknown tags
    arg.value.u64 = in.Word();
    arg.length = 0;
    const uint8_t textLength = in.Byte();
    const bool null = (kind & 0x80) != 0;
    if (arg.type == LogArgType::String) {
      for (uint8_t k = 0; k < textLength; ++k) narrow[i] += static_cast<char>(in.Byte());
      arg.value.text = null ? nullptr : narrow[i].c_str();
    } else if (arg.type == LogArgType::WideString) {
      for (uint8_t k = 0; k < textLength; ++k) {
        const uint16_t unit = static_cast<uint16_t>(in.Byte() << 8 | in.Byte());
        wide[i] += static_cast<char16_t>(unit);
      }
      arg.value.wideText = null ? nullptr : wide[i].c_str();
      // Either counted to the terminator, or an explicit length within the owned text.
      counted[i] = (kind & 0x40) != 0;
      arg.length = counted[i] ? LogArg::kToTerminator : in.Byte() % (wide[i].size() + 1);
    }
  }
  const std::string format = in.Rest();

  std::vector<LogArg> again = args;
  std::unique_ptr<char[]> scratch(scratchSize ? new char[scratchSize] : nullptr);
  std::string first;
  {
    tessel::FormatBuffer out(scratch.get(), scratchSize);
    tessel::MessageFormatter(out, format.c_str(), args.data(), count);
    first = std::string(out.View());
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!counted[i] || args[i].value.wideText == nullptr) continue;
    const size_t terminator = wide[i].find(u'\0');
    const size_t expected = terminator == std::u16string::npos ? wide[i].size() : terminator;
    // A record that no directive reached keeps its marker.
    if (args[i].length != expected && args[i].length != LogArg::kToTerminator) {
      Fail("counted length was not stored back");
    }
  }
  // The second run sees the counted lengths already stored and must render the same text.
  tessel::FormatBuffer plain;
  tessel::MessageFormatter(plain, format.c_str(), args.data(), count);
  if (plain.View() != first) Fail("output depends on the scratch block");
  // And an untouched copy, counted afresh, too.
  if (tessel::FormatMessage(format.c_str(), again.data(), count) != first) Fail("rerun differs");
  // Without records every directive is dropped; the output never exceeds the plain text.
  if (tessel::FormatMessage(format.c_str(), nullptr, 0).size() > std::strlen(format.c_str())) {
    Fail("directives without records produced text");
  }
  return 0;
}
