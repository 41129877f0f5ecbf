#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tessel {

bool FolderExists(std::string_view path);
bool FileExists(std::string_view path);  // exists and is not a folder

// True when every folder of `path` (which ends with '/'; text after the last '/' is not
// created) exists afterwards. Writes no message.
bool CreateFolderPath(std::string_view path);

// True when the file is gone afterwards (a missing file counts). A file that cannot be deleted
// for lack of permission gets its mode widened once and is deleted again.
bool DeleteFileForced(std::string_view path);

// read(2) until it is not interrupted by a signal: a read that a signal cut short is not a failed
// read. Returns what the last read returned.
ssize_t ReadRetrying(int fd, void* buffer, size_t count);

// Logical sector size of the device that holds `path`; 512 when it cannot be told.
uint32_t GetSectorSize(std::string_view path);

}  // namespace tessel
