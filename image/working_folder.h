#pragma once

#include <cstdint>
#include <cstdlib>
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

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
// A malloc block, the kind that crosses the codec boundary.
using HeapBlock = std::unique_ptr<unsigned char, FreeDeleter>;

// Reads a whole regular file of less than 4 GiB into a new block (at least one byte). False when
// it cannot be opened, is no regular file (a FIFO or a device would block the reader or never
// end), cannot be sized or read, or is larger; errno then says why, and `why`, when given, says
// it in words for a log line.
bool ReadWholeFile(const std::string& path, HeapBlock& data, uint32_t& size,
                   CLogger& logger = CLogger::Instance(), std::string* why = nullptr);

// True when exactly `count` bytes were read from `fd` into `buffer`. A read that returns less
// (as on FUSE and network file systems) is followed by another until the count is reached or the
// file ends. Counts of 1 GiB and more are read in chunks.
bool ReadExact(int fd, void* buffer, uint32_t count, CLogger& logger = CLogger::Instance());

}  // namespace tessel
