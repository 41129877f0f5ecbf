#include "logging/log_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "foundation/path.h"

namespace tessel {

bool IsLogFileName(std::string_view name) {
  constexpr std::string_view kExt = ".log";
  if (name.size() < kExt.size()) return false;
  if (strncasecmp(name.data() + name.size() - kExt.size(), kExt.data(), kExt.size()) != 0) {
    return false;
  }
  return name.find("io.bin") == std::string_view::npos &&
         name.find("io.csv") == std::string_view::npos;
}

std::vector<LogFileEntry> ListLogFiles(const std::string& folder) {
  std::vector<LogFileEntry> files;
  DIR* dir = ::opendir(ToLongPath(folder, 260).c_str());
  if (dir == nullptr) return files;
  const int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!IsLogFileName(name)) continue;
    struct stat st;
    // A link is no log file of ours, whatever it leads to.
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    files.push_back({folder + entry->d_name, static_cast<uint64_t>(st.st_size)});
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end(), [](const LogFileEntry& a, const LogFileEntry& b) {
    return strcasecmp(ExtractFileName(a.path).c_str(), ExtractFileName(b.path).c_str()) < 0;
  });
  return files;
}

const LogFileEntry* ChooseFileToContinue(const std::vector<LogFileEntry>& files) {
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const std::string name = ExtractFileName(it->path);
    if (std::count(name.begin(), name.end(), '.') <= 1) return &*it;
  }
  return nullptr;
}

std::string NewLogFileName(const std::tm& t) {
  char name[64];
  std::snprintf(name, sizeof name, "%04d%02d%02d_%02d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return name;
}

}  // namespace tessel
