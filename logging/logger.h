#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logformat/log_arg.h"
#include "platform/named_mutex.h"
#include "platform/unique_fd.h"
#include "security/object_security.h"
#include "wire/environment.h"

namespace tessel {

enum LogLevel : int32_t {
  Plain = 0,
  Info = 1,
  Debug = 2,
  Warning = 3,
  Error = 4,
  CriticalError = 5,
  ErrorDebug = 6,
  Trace = 7,
};

// Where a logger keeps its files and which mutex it shares. The process logger uses the
// defaults; tests build private loggers with their own folder and mutex name.
struct LoggerOptions {
  std::string mutexName = LoggingMutexName();  // this user's
  // Empty: the log-folder variable, else DefaultLogFolder(): TMPDIR/TESSEL/LOG/ when that is a
  // private folder of ours, else TMPDIR/TESSEL-<uid>/LOG/.
  std::string directory;
  bool banners = true;    // load and unload banners
  // How long one wait for the logging mutex may take before the record is dropped. A holder
  // that stopped (rather than died) must not stall every process of the user for ever.
  int lockTimeoutMs = 10000;
};

// Appends records to the newest log file of a folder shared with other processes, one write per
// record, serialised across processes by the logging mutex. Logging never stops the caller: a
// record that cannot be written is dropped.
class CLogger {
 public:
  // Thread logging flags (per thread): bit 0 = this thread writes nothing, bit 1 = this thread
  // writes only Error and CriticalError records.
  static constexpr uint32_t kThreadLoggingOff = 1u;
  static constexpr uint32_t kThreadErrorsOnly = 2u;

  static constexpr size_t kMessageLimit = 15360;
  static constexpr size_t kRecordLimit = 15872;
  static constexpr size_t kRecordBufferSize = 16384;
  static constexpr size_t kScratchSize = 1024;
  static constexpr uint64_t kSizeLimit = 10485760;
  static constexpr uint64_t kFirstCounterThreshold = 20000;

  explicit CLogger(LoggerOptions options = {});
  ~CLogger();
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // The process logger: built during static initialisation, before main, and destroyed after it.
  static CLogger& Instance();

  void Log(LogLevel level, const char* format, LogArg* args = nullptr, uint32_t count = 0) {
    LogContext(level, nullptr, format, args, count);
  }
  void LogContext(LogLevel level, const char* context, const char* format, LogArg* args = nullptr,
                  uint32_t count = 0);

  // Braced argument lists: Log(Error, "Can't open file %s, %s", {LogArg::String(a), ...}).
  template <size_t N>
  void Log(LogLevel level, const char* format, LogArg (&&args)[N]) {
    LogContext(level, nullptr, format, args, N);
  }
  template <size_t N>
  void LogContext(LogLevel level, const char* context, const char* format, LogArg (&&args)[N]) {
    LogContext(level, context, format, args, N);
  }

  // Switches the calling thread's logging on or off and logs the change.
  bool EnableThreadLogging(bool on);
  // Moves logging to another folder (UTF-8 path).
  void SetDirectory(std::string_view folder);
  std::string CopyDirectory() const;
  // Written after the level label of every record; clears the calling thread's errors-only bit.
  void SetProcessPrefix(std::string_view prefix);

  bool Enabled() const { return enabled_; }
  const std::string& ProcessTag() const { return processTag_; }
  uint64_t TotalCount() const { return totalCount_; }

  static uint32_t ThreadFlags();
  static void SetThreadFlags(uint32_t flags);

 private:
  bool Lock();
  void CountAndRelease();
  void ReleaseMutex();
  void WriteRecord(LogLevel level, const char* context, const char* format, LogArg* args,
                   uint32_t count, uint32_t flags);
  void SetFolder(std::string_view folder);
  void ChooseDefaultFolder();
  void OpenLogFile();
  bool OpenOneFile(const std::string& path);
  void CheckSize();
  void WriteRaw(const char* bytes, size_t count, bool* whole = nullptr);
  void ReportOpenFailure(const std::string& path, const std::string& description);
  size_t FormatHeader(char* out, size_t room) const;
  void WriteLoadBanner();

  LoggerOptions options_;
  mutable std::mutex lock_;  // guards logDirectory_ only
  std::string logDirectory_;
  bool defaultFolder_ = false;  // no folder was named: logDirectory_ is DefaultLogFolder()
  CObjectSecurity mutexSecurity_;
  CNamedMutex mutex_;
  int32_t pendingCount_ = 0;
  uint64_t totalCount_ = 0;
  uint64_t counterThreshold_ = kFirstCounterThreshold;
  CUniqueFd file_;
  std::unique_ptr<char[]> formatScratch_;
  bool scratchInUse_ = false;
  // Read before the logging mutex is taken, written under it by whichever thread switches files.
  std::atomic<bool> enabled_{false};
  std::string processTag_;
  std::string processPrefix_;
  uint64_t sizeLimit_ = kSizeLimit;
  std::unique_ptr<char[]> recordBuffer_;
};

}  // namespace tessel
