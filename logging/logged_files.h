#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "logging/logger.h"
#include "platform/unique_fd.h"

// Opening and reading files, with a log line where a failure is found.
namespace tessel {

// open(2) with a log line "Can't open file %s, %s" on failure; returns the descriptor as the
// kernel gave it (invalid on failure, errno kept).
CUniqueFd OpenFileLogged(std::string_view path, int flags, int mode = 0644);

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
