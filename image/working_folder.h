#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/memory.h"
#include "logging/logger.h"
#include "platform/tessel_folders.h"

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

  // Makes the session's folder ahead of InitializeWorkingFolder, which then finds it made and
  // logs what it would have logged making it. Writes no log line, so it may run on another
  // thread while nothing else uses this object.
  void Prepare(const std::string& sessionId);
  // False, with a log line, when the temporary folder does not exist.
  bool InitializeWorkingFolder(const std::string& sessionId);
  // Removes the folder when it is marked for removal (an empty folder only), then releases the
  // path's region.
  void RemoveWorkingFolder();

  // With a trailing '/'; empty until set.
  const char* Path() const { return path_.Empty() ? "" : path_.Data(); }
  bool RemoveAtExit() const { return removeAtExit_; }

 private:
  // What making the folder for a session found.
  struct Choice {
    std::string sessionId;
    std::string temp;  // with a trailing '/'
    bool tempExists = false;
    bool safeName = false;
    TesselFolder folder;  // made when safeName and the temporary folder exists
  };
  static Choice Choose(const std::string& sessionId);
  // Forgets the prepared choice and removes the folder it made.
  void DropPrepared();

  CLogger& logger_;
  std::optional<Choice> prepared_;
  ProtectedString path_;
  bool removeAtExit_ = false;
};

// Whether a session identifier can name a folder without leaving TMPDIR/TESSEL/.
bool IsSafeFolderName(const std::string& name);

}  // namespace tessel
