#include "client/session_folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/shared_memory_region.h"

namespace tessel {
namespace {

constexpr size_t kIdLength = 16;
constexpr const char kUnfinishedSuffix[] = ".new";
// A folder is made under its unfinished name and locked a moment later; until it is this old,
// a folder nobody holds may be one whose maker is about to lock it.
constexpr time_t kUnfinishedGraceSeconds = 60;

bool IsSessionId(const std::string& name) {
  if (name.size() != kIdLength) return false;
  for (unsigned char c : name) {
    if (!std::isalnum(c)) return false;
  }
  return true;
}

// A folder of ours that nobody holds: its lock, taken at once and kept while it goes; invalid
// for a folder that is held, or not ours.
CUniqueFd TakeAbandoned(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    return CUniqueFd();
  CUniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder && ::flock(folder.Get(), LOCK_EX | LOCK_NB) != 0) folder.Reset();
  return folder;
}

bool OlderThan(const std::string& path, time_t seconds) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && info.st_mtime + seconds < ::time(nullptr);
}

}  // namespace

Status CSessionFolder::Create(const std::string& sessions, const std::string& id) {
  Remove();
  const std::string unfinished = sessions + "/." + id + kUnfinishedSuffix;
  const std::string folder = sessions + "/" + id;
  const auto failed = [&](int error) {
    return Status(ErrorKind::kSystem,
                  "cannot make the session's folder " + folder + ": " +
                      std::error_code(error, std::generic_category()).message());
  };
  if (::mkdir(unfinished.c_str(), 0700) != 0) return failed(errno);
  CUniqueFd lock(::open(unfinished.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!lock || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0 ||
      ::rename(unfinished.c_str(), folder.c_str()) != 0) {
    const int error = errno;
    ::rmdir(unfinished.c_str());
    return failed(error);
  }
  path_ = folder + "/";
  lock_ = std::move(lock);
  return Status();
}

void CSessionFolder::Remove() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
  }
  lock_.Reset();
}

void CSessionFolder::SweepStale(
    const std::string& sessions,
    const std::function<std::vector<std::string>(const std::string&)>& objectNames) {
  DIR* listing = ::opendir(sessions.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
  ::closedir(listing);
  for (const std::string& name : names) {
    // A folder that was never finished is dead too, if nobody holds it.
    std::string id = name;
    const size_t suffix = sizeof kUnfinishedSuffix - 1;
    const bool unfinished = name.size() > suffix + 1 && name[0] == '.' &&
                            name.compare(name.size() - suffix, suffix, kUnfinishedSuffix) == 0;
    if (unfinished) id = name.substr(1, name.size() - suffix - 1);
    const std::string path = sessions + "/" + name;
    if (!IsSessionId(id)) continue;
    if (unfinished && !OlderThan(path, kUnfinishedGraceSeconds)) continue;
    const CUniqueFd held = TakeAbandoned(path);
    if (!held) continue;
    for (const std::string& object : objectNames(id)) CSharedMemoryRegion::Unlink(object);
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

}  // namespace tessel
