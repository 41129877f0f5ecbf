#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/memory.h"
#include "logging/logger.h"

namespace tessel {

// The session's folder under the temporary folder: TMPDIR/TESSEL/<session>/, or
// TMPDIR/TESSEL-<uid>/<session>/ when TESSEL is not a private folder of ours (ChooseTesselFolder).
// Only a session folder that this object made sure of is removed at teardown; the temporary
// folder itself, used when no session folder can be had, is never removed, nor ever made.
class CWorkingFolder {
 public:
  static constexpr int kRemoveAttempts = 20;
  static constexpr int kRemoveDelayMs = 100;

  explicit CWorkingFolder(CLogger& logger = CLogger::Instance()) : logger_(logger) {}
  ~CWorkingFolder();
  CWorkingFolder(const CWorkingFolder&) = delete;
  CWorkingFolder& operator=(const CWorkingFolder&) = delete;

  // False, with a log line, when the temporary folder does not exist.
  bool InitializeWorkingFolder(const std::string& sessionId);
  // Removes the folder when it is marked for removal (an empty folder only), then releases the
  // path's region.
  void RemoveWorkingFolder();

  // With a trailing '/'; empty until set.
  const char* Path() const { return path_.Empty() ? "" : path_.Data(); }
  bool RemoveAtExit() const { return removeAtExit_; }

 private:
  CLogger& logger_;
  ProtectedString path_;
  bool removeAtExit_ = false;
};

// Whether a session identifier can name a folder without leaving TMPDIR/TESSEL/.
bool IsSafeFolderName(const std::string& name);

}  // namespace tessel
