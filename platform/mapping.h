#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

namespace tessel {

// Owns one mmap()ed range and unmaps it exactly once.
class CMapping {
 public:
  CMapping() = default;
  CMapping(void* address, size_t length) : address_(address), length_(length) {}
  CMapping(const CMapping&) = delete;
  CMapping& operator=(const CMapping&) = delete;
  CMapping(CMapping&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  CMapping& operator=(CMapping&& other) noexcept {
    if (this != &other) {
      Reset();
      address_ = std::exchange(other.address_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  ~CMapping() { Reset(); }

  void* Address() const { return address_; }
  size_t Length() const { return length_; }
  bool Valid() const { return address_ != nullptr; }
  template <typename T>
  T* As() const {
    return static_cast<T*>(address_);
  }

  // Returns the munmap() result so that callers that must treat a failed release as fatal can.
  int Reset() {
    int rc = 0;
    if (address_ != nullptr) rc = ::munmap(address_, length_);
    address_ = nullptr;
    length_ = 0;
    return rc;
  }

 private:
  void* address_ = nullptr;
  size_t length_ = 0;
};

}  // namespace tessel
