#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/logger.h"
#include "platform/shared_memory_region.h"

namespace tessel {

// One of the session's regions, which the client has created: opened by name for reading and
// writing and mapped whole. The view covers the object's real size, whatever a peer claims.
class CSharedMemory {
 public:
  explicit CSharedMemory(CLogger& logger = CLogger::Instance(),
                         Prefault prefault = Prefault::kWhole)
      : logger_(logger), prefault_(prefault) {}
  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  // Logs why on failure; a region that exists but is readable only is told apart by a second
  // line. Opening the name that is open keeps the view while the object and its size are the
  // same.
  bool Open(std::string_view name);
  // Safe on a closed object.
  void Close();

  bool IsMapped() const { return region_.IsOpen(); }
  unsigned char* View() const { return static_cast<unsigned char*>(region_.Data()); }
  size_t Size() const { return region_.Size(); }
  const std::string& Name() const { return name_; }

 private:
  CLogger& logger_;
  const Prefault prefault_;
  CSharedMemoryRegion region_;
  // The size asked for; an open by name always asks for the whole object (0). Only logged.
  uint32_t requestedSize_ = 0;
  std::string name_;
};

}  // namespace tessel
