#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "logformat/log_arg.h"

namespace tessel {

// Growable ASCII output of the formatter. The first chunk may be lent by the caller (the
// logger's scratch block), so that short messages need no allocation; larger texts move to the
// heap, growing in whole 1024-byte chunks.
class FormatBuffer {
 public:
  static constexpr size_t kChunk = 1024;

  FormatBuffer() = default;
  FormatBuffer(char* scratch, size_t scratchSize) : data_(scratch), capacity_(scratchSize) {}
  FormatBuffer(const FormatBuffer&) = delete;
  FormatBuffer& operator=(const FormatBuffer&) = delete;
  ~FormatBuffer();

  void Append(const char* bytes, size_t count) {
    if (count == 0) return;
    std::memcpy(Grow(count), bytes, count);
    size_ += count;
  }
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  void Append(char c) { Append(&c, 1); }
  // Room for `count` more bytes at the end; Commit(n) then adds the n bytes written there.
  char* Grow(size_t count) {
    if (count > capacity_ - size_) Reallocate(count);
    return data_ + size_;
  }
  void Commit(size_t count) { size_ += count; }

  std::string_view View() const { return {data_, size_}; }
  size_t Size() const { return size_; }
  // Bytes that fit before the next growth.
  size_t Room() const { return capacity_ - size_; }
  bool UsesScratch() const { return !onHeap_ && data_ != nullptr; }
  void Clear() { size_ = 0; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool onHeap_ = false;

  void Reallocate(size_t needed);
};

// Appends the rendering of `format` with `args` to `out`. A WideString record of length
// LogArg::kToTerminator gets its counted length stored back, hence the non-const records.
void MessageFormatter(FormatBuffer& out, const char* format, LogArg* args, uint32_t count);

// "%b": base-1024 groups, "1,512" for 1536.
std::string FormatByteSize(uint64_t value);
void AppendByteSize(FormatBuffer& out, uint64_t value);
// "%ts": "1.500 min" for 90 seconds.
std::string FormatTimeSpan(double seconds);
void AppendTimeSpan(FormatBuffer& out, double seconds);

// Convenience for non-hot paths (error boxes, tests): the whole rendering as a string.
std::string FormatMessage(const char* format, LogArg* args, uint32_t count);

}  // namespace tessel
