#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The worker answers a failed command with Result 0 and nothing else; why it failed is in its
// log. A client that points the worker's logging at a folder it reads can tell its user.
namespace tessel {

class WorkerLogReader {
 public:
  // `folder`: where the worker of session `sessionId` writes its log files.
  WorkerLogReader(std::string folder, std::string sessionId);

  // Remembers how far every log file of the folder goes; NewErrors reads only what follows.
  void Mark();

  // The messages of the error records that this session's worker wrote since the last Mark,
  // oldest first, without level label, process prefix and session context.
  std::vector<std::string> NewErrors() const;

  // The last of NewErrors() that says something, with "Loading error. " and a trailing
  // ", <name>" removed; empty when the worker logged no reason.
  std::string LastReason(std::string_view name) const;

 private:
  std::vector<std::string> LogFiles() const;

  std::string folder_;
  std::string processPrefix_;  // "[ERROR] [Tessel service] [<id>] "
  std::string context_;        // "[<id>] "
  std::map<std::string, uint64_t> marks_;
};

}  // namespace tessel
