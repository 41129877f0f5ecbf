#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "channel/shared_memory.h"
#include "logging/context_log.h"

namespace tessel {

// The session's region for data that does not fit inline. It is closed and opened again while
// the session runs (CloseBuffer, BufferRequest), so it is either not installed, installed and
// mapped, or installed without a view after a failed open.
class CExtendedRegion {
 public:
  explicit CExtendedRegion(const CContextLog& log) : log_(log) {}
  CExtendedRegion(const CExtendedRegion&) = delete;
  CExtendedRegion& operator=(const CExtendedRegion&) = delete;

  // The session whose region Open maps from now on.
  void SetSession(std::string_view sessionId);

  // Installs the region under the session's name and maps it. An installed view of the same
  // object at the same size stays, pages and all: the client resizes the object in place, and
  // only a new size needs a new view. On failure the region stays installed, without a view.
  bool Open();
  void Close() { region_.reset(); }

  bool Installed() const { return region_ != nullptr; }
  // Null while not installed.
  CSharedMemory* Region() const { return region_.get(); }
  const std::string& Name() const { return name_; }

 private:
  const CContextLog& log_;
  std::string name_;
  std::unique_ptr<CSharedMemory> region_;
};

}  // namespace tessel
