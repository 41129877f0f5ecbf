#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/status.h"
#include "platform/unique_fd.h"

// A session's private folder under $TMPDIR/TESSEL/: the worker's TMPDIR. The folder stays locked
// (flock) for as long as its session lives, which lets a later session tell the folders of
// clients that died from live ones and clear away what the dead ones left.
namespace tessel {

class CSessionFolder {
 public:
  CSessionFolder() = default;
  CSessionFolder(const CSessionFolder&) = delete;
  CSessionFolder& operator=(const CSessionFolder&) = delete;
  ~CSessionFolder() { Remove(); }

  // Makes `sessions`/`id`/ with mode 0700, locked before it appears under its name.
  Status Create(const std::string& sessions, const std::string& id);
  // Removes the folder with everything in it, then lets go of the lock.
  void Remove();
  // With a trailing '/'; empty when there is none.
  const std::string& Path() const { return path_; }

  // Removes the folders in `sessions` that no live session holds, after unlinking the shared
  // objects `objectNames` gives for each one's id.
  static void SweepStale(
      const std::string& sessions,
      const std::function<std::vector<std::string>(const std::string&)>& objectNames);

 private:
  std::string path_;
  CUniqueFd lock_;
};

}  // namespace tessel
