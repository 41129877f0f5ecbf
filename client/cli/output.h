#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "client/cli/png_file.h"

namespace tessel::cli {

// The folders that renames went into and that still need a sync to make them last. A batch of
// writes hands one to WriteOutput and syncs each folder once at its end, instead of once a file;
// each file's bytes are still synced before its rename, so a crash leaves every file either old
// or whole. Thread-safe.
class CFolderSyncs {
 public:
  void Add(const std::string& folder);
  // Syncs every folder added since the last call; one that cannot be synced is no failure.
  void SyncAll();

 private:
  std::mutex mutex_;
  std::set<std::string> folders_;
};

// Writes `image` as a PNG file at `target`. A regular file (new, or replacing one of that name)
// is written to a temporary file beside it, synced, and renamed over the target only when it is
// whole: a failed write leaves the old file as it was and nothing else. "-" is standard output;
// a device, FIFO or socket is written as the stream it is. `error` says why a write failed, with
// the system's reason.
bool WriteOutput(const std::string& target, const CPixels& image, std::string& error,
                 CFolderSyncs* later = nullptr);

// The same for any content: `write` puts it onto the descriptor it is given, and on failure says
// why in its `error`. With `later`, the folder's sync is left to it.
using ContentWriter = std::function<bool(int fd, std::string& error)>;
bool WriteOutput(const std::string& target, const ContentWriter& write, std::string& error,
                 CFolderSyncs* later = nullptr);

// Writes all of `text` onto `fd`; on failure `error` holds the system's reason.
bool WriteText(int fd, const std::string& text, std::string& error);

}  // namespace tessel::cli
