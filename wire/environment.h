#pragma once

// Names that the worker and every program that starts one must agree on: environment variables
// the worker reads and the shared object that serialises logging between processes.
namespace tessel {

// The folder the worker writes its log files to, read at its start and set by SetLoggingMode.
inline constexpr const char* kLogDirectoryVariable = "{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}";
// A one-character value switches all logging of a process off.
inline constexpr const char* kLogSuppressVariable = "{E9B78EFB-A2CA-4871-8924-EF3EB46560AA}";
// The shared-memory object of the logging mutex.
inline constexpr const char* kLoggingMutexName =
    "ORVANE.DLL.QMT_ORVANE_LOGGING_MUTEX_{378E0407-BA82-46f4-A015-E7CAE63F66C7}";

}  // namespace tessel
