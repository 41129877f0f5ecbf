#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessel::test {

// The log files of `folder` (its regular files), sorted by name.
std::vector<std::string> LogFileNames(const std::string& folder);
// Every log file of `folder` read whole, in name order.
std::string ReadLogs(const std::string& folder);
// How often `text` occurs in the logs of `folder`.
size_t CountInLogs(const std::string& folder, const std::string& text);
// Log text split into records, each without the empty line ("\r\n\r\n") that ends it.
std::vector<std::string> SplitRecords(const std::string& text);

}  // namespace tessel::test
