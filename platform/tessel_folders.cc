#include "platform/tessel_folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tessel {
namespace {

// lstat and O_NOFOLLOW look at a link itself only when the path does not end with a slash.
std::string WithoutSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

bool Fail(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
  return false;
}

bool CheckOpened(int fd, const std::string& shown, std::string* problem) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return Fail(problem, shown + ": " + std::strerror(errno));
  if (!S_ISDIR(info.st_mode)) return Fail(problem, shown + " is not a folder");
  if (info.st_uid != ::geteuid()) {
    return Fail(problem, shown + " belongs to user " + std::to_string(info.st_uid) + ", not to " +
                             std::to_string(::geteuid()));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return Fail(problem, shown + " may be written by other users (mode " + mode + ")");
  }
  return true;
}

CUniqueFd OpenFolder(const std::string& path) {
  return CUniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string OpenProblem(const std::string& folder, const std::string& shown, int error) {
  // O_NOFOLLOW and O_DIRECTORY refuse a link and anything but a folder; lstat tells which.
  struct stat info;
  if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &info) == 0)
    return shown + (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a folder");
  return shown + ": " + std::strerror(error);
}

// Makes sure of `base` and `below` in it; both must pass.
bool TryChoice(const std::string& base, std::string_view below, std::string& path,
               std::string* problem) {
  if (!MakePrivateFolder(base, problem)) return false;
  path = WithSlash(base);
  if (below.empty()) return true;
  path += std::string(below);
  if (!MakePrivateFolder(path, problem)) return false;
  path = WithSlash(path);
  return true;
}

}  // namespace

bool IsPrivateFolder(std::string_view path, std::string* problem) {
  const std::string folder = WithoutSlash(path);
  const std::string shown = WithSlash(folder);
  const CUniqueFd fd = OpenFolder(folder);
  if (!fd) return Fail(problem, OpenProblem(folder, shown, errno));
  return CheckOpened(fd.Get(), shown, problem);
}

bool MakePrivateFolder(std::string_view path, std::string* problem) {
  const std::string folder = WithoutSlash(path);
  const std::string shown = WithSlash(folder);
  const bool made = ::mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    return Fail(problem, "cannot make " + shown + ": " + std::strerror(errno));
  }
  const CUniqueFd fd = OpenFolder(folder);
  if (!fd) return Fail(problem, OpenProblem(folder, shown, errno));
  // The umask must not open a new folder to others, nor close it to us.
  if (made && ::fchmod(fd.Get(), 0700) != 0) {
    return Fail(problem, "cannot set the mode of " + shown + ": " + std::strerror(errno));
  }
  return CheckOpened(fd.Get(), shown, problem);
}

TesselFolder ChooseTesselFolder(std::string_view below) {
  TesselFolder chosen;
  const std::string temp = TempFolder();
  struct stat info;
  if (::stat(temp.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    chosen.problem = "the temporary folder " + temp +
                     (::getenv("TMPDIR") != nullptr ? " (TMPDIR)" : "") +
                     " does not exist, and Tessel does not make it";
    return chosen;
  }
  std::string first;
  if (TryChoice(temp + "TESSEL", below, chosen.path, &first)) return chosen;
  std::string second;
  if (TryChoice(temp + "TESSEL-" + std::to_string(::geteuid()), below, chosen.path, &second)) {
    static std::once_flag told;
    std::call_once(told, [&] {
      ShowMessageBox("Tessel", first + ", so Tessel uses " + chosen.path + " instead");
    });
    return chosen;
  }
  chosen.path.clear();
  chosen.problem = first + "; " + second;
  return chosen;
}

TesselFolder DefaultLogFolder() {
  return ChooseTesselFolder("LOG");
}

}  // namespace tessel
