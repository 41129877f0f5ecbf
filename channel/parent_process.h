#pragma once

#include <cstdint>

#include "logging/logger.h"
#include "platform/process_watch.h"

namespace tessel {

// The client process whose end also ends the worker. Watched from the first successful Open
// until teardown; it can be neither changed nor dropped.
class CParentProcess {
 public:
  explicit CParentProcess(CLogger& logger = CLogger::Instance()) : logger_(logger) {}
  CParentProcess(const CParentProcess&) = delete;
  CParentProcess& operator=(const CParentProcess&) = delete;

  // False, changing nothing, when a parent is already watched; a failed open may be retried.
  bool Open(uint32_t processId);
  // True while no parent is watched, and when the state cannot be told.
  bool IsAlive() const;
  void Close() { watch_.Close(); }

  uint32_t ProcessId() const { return processId_; }
  bool Watching() const { return watch_.IsWatching(); }

 private:
  CLogger& logger_;
  uint32_t processId_ = 0;
  CProcessWatch watch_;
};

}  // namespace tessel
