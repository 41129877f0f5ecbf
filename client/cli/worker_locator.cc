#include "client/cli/worker_locator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#ifndef TESSEL_WORKER_FROM_TOOL
#define TESSEL_WORKER_FROM_TOOL "../libexec/tessel"
#endif

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

// 0 when `path` is an executable file, else the reason why not.
int CannotRun(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EACCES;
  return ::access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

std::string Absolute(const std::string& path) {
  std::error_code ignored;
  const fs::path absolute = fs::absolute(path, ignored);
  return absolute.empty() ? path : absolute.lexically_normal().string();
}

std::string Reason(int error) {
  return std::error_code(error, std::generic_category()).message();
}

}  // namespace

std::vector<std::string> WorkerCandidates(const std::string& toolFolder) {
  std::vector<std::string> candidates;
  if (!toolFolder.empty()) {
    const fs::path folder(toolFolder);
    candidates.push_back((folder / TESSEL_WORKER_FROM_TOOL / "Tessel").lexically_normal().string());
    candidates.push_back((folder / "Tessel").lexically_normal().string());
  }
#ifdef TESSEL_BUILD_BIN_DIR
  const std::string built = (fs::path(TESSEL_BUILD_BIN_DIR) / "Tessel").lexically_normal().string();
  if (std::find(candidates.begin(), candidates.end(), built) == candidates.end())
    candidates.push_back(built);
#endif
  return candidates;
}

WorkerLookup FindWorker(const std::string& option, const char* variable,
                        const std::vector<std::string>& candidates, std::string& path,
                        std::string& error) {
  if (!option.empty()) {
    if (const int why = CannotRun(option); why != 0) {
      error = "--worker " + option + ": the worker program cannot be run: " + Reason(why);
      return WorkerLookup::kBadOption;
    }
    path = Absolute(option);
    return WorkerLookup::kFound;
  }
  if (variable != nullptr && *variable != '\0') {
    if (const int why = CannotRun(variable); why != 0) {
      error = std::string(kWorkerVariable) + " names " + variable +
              ", which cannot be run: " + Reason(why) + "; correct it, or unset it to search";
      return WorkerLookup::kNotFound;
    }
    path = Absolute(variable);
    return WorkerLookup::kFound;
  }
  std::string looked;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (CannotRun(candidates[i]) == 0) {
      path = candidates[i];
      return WorkerLookup::kFound;
    }
    looked += (i == 0 ? "" : i + 1 == candidates.size() ? " and " : ", ") + candidates[i];
  }
  error = "cannot find the worker program Tessel: looked in " +
          (looked.empty() ? std::string("no place") : looked) + "; set " + kWorkerVariable +
          " or use --worker";
  return WorkerLookup::kNotFound;
}

}  // namespace tessel::cli
