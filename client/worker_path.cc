#include "client/worker_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "client/message.h"
#include "platform/process.h"

#ifndef TESSEL_WORKER_FROM_LIBRARY
#define TESSEL_WORKER_FROM_LIBRARY "../libexec/tessel"
#endif

namespace tessel {
namespace {

using client_detail::Format;

// 0 when `path` is an executable file, else the reason why not.
int CannotRun(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EACCES;
  return ::access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

// "a/b/../c/" -> "a/c/": the messages name the places a user would type.
std::string Collapse(std::string path) {
  for (size_t dots; (dots = path.find("/../")) != std::string::npos && dots > 0;) {
    const size_t parent = path.rfind('/', dots - 1);
    if (parent == std::string::npos || path.compare(parent, 4, "/../") == 0) break;
    path.erase(parent, dots + 3 - parent);
  }
  return path;
}

// An address inside this library, whichever file it was linked into.
void Anchor() {}

}  // namespace

std::vector<std::string> WorkerCandidatesFor(const WorkerSearch& search) {
  std::vector<std::string> candidates;
  const auto add = [&](std::string path) {
    path = Collapse(std::move(path));
    if (std::find(candidates.begin(), candidates.end(), path) == candidates.end())
      candidates.push_back(std::move(path));
  };
  if (!search.libraryFolder.empty()) {
    add(search.libraryFolder + TESSEL_WORKER_FROM_LIBRARY "/Tessel");
    add(search.libraryFolder + "Tessel");
  }
  if (!search.programFolder.empty()) add(search.programFolder + "Tessel");
  return candidates;
}

Result<std::string> FindWorkerProgram(const WorkerSearch& search) {
  if (!search.configured.empty()) return search.configured;
  if (search.variable != nullptr && *search.variable != '\0') {
    if (const int why = CannotRun(search.variable); why != 0) {
      return Status(ErrorKind::kNotFound,
                    Format("%s names %s, which cannot be run: %s; correct it, or unset it to "
                           "search beside the library and the program",
                           kWorkerPathVariable, search.variable,
                           std::generic_category().message(why).c_str()));
    }
    return std::string(search.variable);
  }
  const std::vector<std::string> candidates = WorkerCandidatesFor(search);
  std::string tried;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (CannotRun(candidates[i]) == 0) return candidates[i];
    tried += (i == 0 ? "" : i + 1 == candidates.size() ? " and " : ", ") + candidates[i];
  }
  return Status(ErrorKind::kNotFound,
                Format("cannot find the worker program Tessel: looked in %s; set "
                       "SessionOptions::workerPath or the %s environment variable to its path",
                       tried.empty() ? "no place" : tried.c_str(), kWorkerPathVariable));
}

Result<std::string> ResolveWorkerPath(const std::string& configured) {
  WorkerSearch search;
  search.configured = configured;
  search.variable = ::getenv(kWorkerPathVariable);
  search.libraryFolder = FolderOfLoadedFile(reinterpret_cast<const void*>(&Anchor));
  search.programFolder = ExecutableFolder();
  return FindWorkerProgram(search);
}

}  // namespace tessel
