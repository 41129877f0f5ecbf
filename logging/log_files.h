#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Which files of a log folder count as log files, which one a process continues, and how a new
// one is named. Kept apart from the logger so the rules can be checked without a logger.
namespace tessel {

struct LogFileEntry {
  std::string path;
  uint64_t size;
};

// A name ending in ".log" (any case) that contains neither "io.bin" nor "io.csv" (exact case).
bool IsLogFileName(std::string_view name);

// The log files directly inside `folder` (which ends with a separator), sorted by name without
// regard to case. An unreadable or missing folder gives an empty list.
std::vector<LogFileEntry> ListLogFiles(const std::string& folder);

// The newest listed file whose name has at most one '.', or null when none qualifies: files
// such as "x.old.log" are kept for reading but never written again.
const LogFileEntry* ChooseFileToContinue(const std::vector<LogFileEntry>& files);

// "YYYYMMDD_hhmmss.log" for the given local time.
std::string NewLogFileName(const std::tm& localTime);

}  // namespace tessel
