#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sandbox/confinement.h"

// Starts a worker process confined as asked: resource limits, every capability dropped,
// no_new_privs, a Landlock ruleset and the seccomp allow-list, applied in the child between fork
// and exec, so that the worker is confined before its first instruction.
namespace tessel {

struct WorkerLaunch {
  ConfinementMode mode = ConfinementMode::kRequire;
  std::string executable;
  std::vector<std::string> arguments;    // after the program name
  std::vector<std::string> environment;  // "NAME=value", the whole environment

  // What the worker may touch besides the system's libraries, fonts and its own folder.
  std::vector<std::string> readable;        // files and folders to read; all must exist
  std::vector<std::string> privateFolders;  // folders of the worker's own: everything inside
  std::vector<std::string> appendFolders;   // folders to create files in and write (logs)
  std::vector<std::string> sharedObjects;   // existing files to read and write, never truncate

  uint64_t addressSpaceLimit = 0;  // bytes; 0: none
  uint32_t openFileLimit = 0;      // 0: left as it is
};

struct LaunchedWorker {
  pid_t pid = -1;
  ConfinementReport report;
  bool confinementFailed = false;  // on failure: a layer could not be applied, not the start
};

// Starts the worker. False when it cannot be started, or when mode is kRequire and a layer cannot
// be applied; `error` then names what failed. No process is left behind on failure.
bool LaunchWorker(const WorkerLaunch& launch, LaunchedWorker& worker, std::string& error);

// The layers this machine could apply to a worker, as LaunchWorker would report them (without
// starting anything).
ConfinementReport ProbeConfinement();

// The system files and folders every confined worker may read: the dynamic loader's cache, the
// libraries, font configuration and fonts, time-zone data. Missing ones are skipped.
const std::vector<std::string>& WorkerSystemPaths();

}  // namespace tessel
