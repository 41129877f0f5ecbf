#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The worker answers a failed command with Result 0 and nothing else; why it failed is in its
// log. A client that points the worker's logging at a folder it reads can tell its user.
//
// The worker writes its log files and could make them as large as it likes: a reader looks at
// the newest kMaxLogFiles files only, and at no more than their last kMaxLogBytes bytes in all.
namespace tessel {

// What the worker said about itself as it started. A confined worker cannot raise a capability
// (the test passes), runs with no new privileges under a seccomp filter (level "Low") and keeps
// no capability at all (no privileges).
struct WorkerSelfReport {
  bool privilegeTestPassed = false;  // "Privilege test OK" rather than "Privilege test failed"
  std::string mandatoryLevel;        // "Low", "Medium", "High", ...
  std::string privileges;            // capability names, ", " between them; empty for none

  // True when the report is that of a confined worker.
  bool Confined() const {
    return privilegeTestPassed && mandatoryLevel == "Low" && privileges.empty();
  }
};

class WorkerLogReader {
 public:
  static constexpr uint64_t kMaxLogBytes = 4u << 20;
  static constexpr size_t kMaxLogFiles = 64;

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

  // The self-report of this session's worker, from what follows the last Mark (all of the log the
  // limits let us read without one); nothing while any of its three records is missing.
  std::optional<WorkerSelfReport> ReadSelfReport() const;

 private:
  // One record as the reader sees it: the process tag of its header ("SID <tag>:") and the
  // text that follows the header line.
  struct Record {
    std::string_view tag;
    std::string_view body;
  };

  std::vector<std::string> LogFiles() const;
  // The text of the log files, oldest first, from their marks (with `fromMarks`) or their
  // start; only whole records when a file had to be cut.
  std::vector<std::string> ReadLogs(bool fromMarks) const;
  static std::vector<Record> SplitRecords(const std::vector<std::string>& texts);

  std::string folder_;
  std::string processPrefix_;  // "[Tessel service] [<id>] "
  std::string context_;        // "[<id>] "
  std::map<std::string, uint64_t> marks_;
};

}  // namespace tessel
