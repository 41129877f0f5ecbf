#include "client/cli/output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "client/cli/command_line.h"
#include "client/cli/interrupt.h"
#include "platform/unique_fd.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

std::string Reason(int error) {
  return std::error_code(error, std::generic_category()).message();
}

bool WriteStream(const std::string& target, const ContentWriter& write, std::string& error) {
  const bool standard = target == kStandardStream;
  CUniqueFd file;
  if (!standard) {
    file.Reset(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
      error = "cannot open " + target + ": " + Reason(errno);
      return false;
    }
  }
  const std::string name = standard ? std::string("standard output") : target;
  if (!write(standard ? STDOUT_FILENO : file.Get(), error)) {
    error = "cannot write " + name + ": " + error;
    return false;
  }
  if (file && ::close(file.Release()) != 0) {
    error = "cannot write " + name + ": " + Reason(errno);
    return false;
  }
  return true;
}

// The rename itself lasts once the folder is synced; a folder that cannot be is no failure.
void SyncFolder(const std::string& folder) {
  CUniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) (void)::fsync(directory.Get());
}

// The permissions a new file gets, or those of the file it replaces.
mode_t ModeFor(const struct stat* existing) {
  if (existing != nullptr) return existing->st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void CFolderSyncs::Add(const std::string& folder) {
  std::lock_guard lock(mutex_);
  folders_.insert(folder);
}

void CFolderSyncs::SyncAll() {
  std::set<std::string> folders;
  {
    std::lock_guard lock(mutex_);
    folders.swap(folders_);
  }
  for (const std::string& folder : folders) SyncFolder(folder);
}

bool WriteOutput(const std::string& target, const CPixels& image, std::string& error,
                 CFolderSyncs* later) {
  return WriteOutput(
      target, [&image](int fd, std::string& why) { return EncodePng(fd, image, why); }, error,
      later);
}

bool WriteText(int fd, const std::string& text, std::string& error) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR && !Interrupted()) continue;
    if (wrote <= 0) {
      error = wrote < 0 ? Reason(errno) : "nothing could be written";
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool WriteOutput(const std::string& target, const ContentWriter& write, std::string& error,
                 CFolderSyncs* later) {
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (target == kStandardStream || (exists && !S_ISREG(info.st_mode)))
    return WriteStream(target, write, error);

  // A link keeps pointing where it did: what it points to is replaced.
  std::error_code ignored;
  fs::path path = target;
  if (exists && fs::is_symlink(path, ignored)) path = fs::canonical(path, ignored);
  if (path.empty()) path = target;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string temporary = (folder / ".tessel-XXXXXX").string();
  CUniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file) {
    error = "cannot write " + target + ": cannot make a file in " + folder.string() + ": " +
            Reason(errno);
    return false;
  }
  bool written = ::fchmod(file.Get(), ModeFor(exists ? &info : nullptr)) == 0;
  if (!written) error = Reason(errno);
  if (written) written = write(file.Get(), error);
  // Renamed before its bytes are on disk, a crash could leave an empty file in the old one's
  // place.
  if (written && ::fsync(file.Get()) != 0) written = false, error = Reason(errno);
  if (::close(file.Release()) != 0 && written) written = false, error = Reason(errno);
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0)
    written = false, error = Reason(errno);
  if (!written) {
    ::unlink(temporary.c_str());
    error = "cannot write " + target + ": " + error;
    return false;
  }
  if (later != nullptr) {
    later->Add(folder.string());
  } else {
    SyncFolder(folder.string());
  }
  return true;
}

}  // namespace tessel::cli
