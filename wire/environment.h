#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <string_view>

// Names that the worker and every program that starts one must agree on: environment variables
// the worker reads, the shared object that serialises logging between processes, and how the
// worker's log lines start.
namespace tessel {

// The folder the worker writes its log files to, read at its start and set by SetLoggingMode.
inline constexpr const char* kLogDirectoryVariable = "{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}";
// A one-character value switches all logging of a process off.
inline constexpr const char* kLogSuppressVariable = "{E9B78EFB-A2CA-4871-8924-EF3EB46560AA}";
// The exit code of a worker whose fault handler caught a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL)
// or that an escaping exception ended.
inline constexpr int kWorkerFaultExitCode = 100;
// The name every user's logging mutex starts with.
inline constexpr const char* kLoggingMutexBaseName =
    "ORVANE.DLL.QMT_ORVANE_LOGGING_MUTEX_{378E0407-BA82-46f4-A015-E7CAE63F66C7}";

// The shared-memory object of the logging mutex of `user`: kLoggingMutexBaseName, "." and the
// user id. One per user, because the object is open to its creator only (mode 0600): under one
// name for the machine, the first user to log would lock every other user out of logging.
inline std::string LoggingMutexName(uid_t user = ::geteuid()) {
  return std::string(kLoggingMutexBaseName) + "." + std::to_string(user);
}

// What the worker writes after the level label of every record of its session: clients find
// their worker's lines, and its reasons for refusals, by it.
inline std::string WorkerLogPrefix(std::string_view sessionId) {
  std::string prefix = "[Tessel service] [";
  prefix.append(sessionId).append("] ");
  return prefix;
}

}  // namespace tessel
