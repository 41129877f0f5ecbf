#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "platform/mapping.h"

namespace zph {

// The system's own out-of-memory exception. It derives from std::exception and deliberately not
// from std::bad_alloc: a handler for the standard one must not swallow it. The text is copied
// into the object, so throwing it needs no allocation.
class bad_alloc : public std::exception {
 public:
  explicit bad_alloc(const char* message) noexcept;
  ~bad_alloc() override;
  const char* what() const noexcept override;

 private:
  char message_[64];
};

}  // namespace zph

namespace tessel {

// Read once during static initialisation.
struct MemoryFacts {
  uint32_t pageSize;
  uint32_t allocationGranularity;  // the page size on Linux
  uint32_t totalPhysical;          // bytes, saturated at 0xFFFFFFFF like the 32-bit query
};
const MemoryFacts& GetMemoryFacts();

// Outcome of one large-page probe (CAP_IPC_LOCK + the huge page size from /proc/meminfo).
struct LargePageSupport {
  uint64_t largePageSize = 131072;
  bool usable = false;
};
// `meminfoPath` is a parameter so tests can feed a made-up /proc/meminfo.
LargePageSupport ProbeLargePages(const char* meminfoPath = "/proc/meminfo");
// The pool block size chosen from the physical memory, then raised to four growth granules.
uint32_t ChoosePoolBlockSize(uint64_t totalPhysical, uint32_t pageSize);

// Fatal reports. None returns: ReportFatalError aborts, the memory reports throw
// zph::bad_alloc after showing their two boxes.
[[noreturn]] void ReportFatalError(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void ReportMemoryOperationError(uint32_t code);
[[noreturn]] void ReportAllocationFailure(uint32_t size);
[[noreturn]] void ReportPageAllocationFailure(uint32_t size);

// A committed read-write region rounded up to the allocation granularity. Failure is fatal
// (ReportPageAllocationFailure); a failed release is fatal too (ReportMemoryOperationError).
class PageRegion {
 public:
  PageRegion() = default;
  explicit PageRegion(size_t size);
  PageRegion(PageRegion&&) noexcept = default;
  PageRegion& operator=(PageRegion&& other) noexcept;
  ~PageRegion();

  void* Data() const { return mapping_.Address(); }
  size_t Size() const { return mapping_.Length(); }
  bool Valid() const { return mapping_.Valid(); }
  void Release();

 private:
  CMapping mapping_;
};

// A read-only copy of some bytes: a write after Assign faults.
class ProtectedString {
 public:
  // Replaces the held copy. Returns the result of the protection, which callers may ignore.
  bool Assign(const void* bytes, size_t length);
  const char* Data() const { return static_cast<const char*>(region_.Data()); }
  size_t Length() const { return length_; }
  bool Empty() const { return !region_.Valid(); }
  void Release();

 private:
  PageRegion region_;
  size_t length_ = 0;
};

// A buffer that uses its inline area for requests that fit and an exact-size heap block for
// larger ones. Reserve gives back the previous heap block first; the old content is not kept.
template <size_t InlineBytes>
class InlineBuffer {
 public:
  InlineBuffer() = default;
  InlineBuffer(const InlineBuffer&) = delete;
  InlineBuffer& operator=(const InlineBuffer&) = delete;
  ~InlineBuffer() { FreeHeap(); }

  void* Reserve(size_t bytes);
  void* Data() { return data_; }
  bool OnHeap() const { return data_ != inline_; }
  static constexpr size_t kInlineBytes = InlineBytes;

 private:
  void FreeHeap();
  alignas(std::max_align_t) unsigned char inline_[InlineBytes];
  void* data_ = inline_;
};

// Takes the size as a 32-bit count as every caller in the worker does; the heap path reports a
// failure through ReportAllocationFailure.
void* AllocateHeapBlock(size_t bytes);
void FreeHeapBlock(void* block);

template <size_t InlineBytes>
void* InlineBuffer<InlineBytes>::Reserve(size_t bytes) {
  FreeHeap();
  if (bytes <= InlineBytes) {
    data_ = inline_;
  } else {
    data_ = AllocateHeapBlock(bytes);
  }
  return data_;
}

template <size_t InlineBytes>
void InlineBuffer<InlineBytes>::FreeHeap() {
  if (data_ != inline_) FreeHeapBlock(data_);
  data_ = inline_;
}

// The wide-character holder: counts in UTF-16 units, reserves two bytes per unit.
template <size_t InlineChars>
class InlineWideBuffer {
 public:
  char16_t* Reserve(size_t chars) {
    if (chars > SIZE_MAX / sizeof(char16_t)) ReportAllocationFailure(UINT32_MAX);
    return static_cast<char16_t*>(bytes_.Reserve(chars * sizeof(char16_t)));
  }
  char16_t* Data() { return static_cast<char16_t*>(bytes_.Data()); }
  bool OnHeap() const { return bytes_.OnHeap(); }
  static constexpr size_t kInlineChars = InlineChars;

 private:
  InlineBuffer<InlineChars * sizeof(char16_t)> bytes_;
};

// Greatest common divisor of `value` and 4096; 0 for 0.
uint64_t GcdWith4096(uint64_t value);

}  // namespace tessel
