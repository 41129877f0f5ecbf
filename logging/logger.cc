#include "logging/logger.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/path.h"
#include "foundation/text.h"
#include "logformat/message_formatter.h"
#include "logging/log_files.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/tessel_folders.h"

namespace tessel {
namespace {

thread_local uint32_t t_threadFlags = 0;

constexpr std::string_view kCrLf = "\r\n";
constexpr int kLockAttempts = 3;

const char* LevelLabel(LogLevel level) {
  switch (level) {
    case Debug:
      return "[DEBUG] ";
    case Warning:
      return "[WARNING] ";
    case Error:
      return "[ERROR] ";
    case CriticalError:
      return "[CRITICAL_ERROR] ";
    case ErrorDebug:
      return "[ERROR_DEBUG] ";
    case Trace:
      return "[TRACE] ";
    default:
      return "";
  }
}

// Eight upper-case hex digits that tell this process's records apart from those of others
// writing to the same file.
std::string MakeProcessTag() {
  unsigned char bytes[16];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t counter = static_cast<uint64_t>(now.tv_sec) * 1000000000u + now.tv_nsec;
    std::memcpy(bytes, &counter, sizeof counter);
    return ToUpperHex(bytes, sizeof counter).substr(0, 8);
  }
  return ToUpperHex(bytes, sizeof bytes).substr(0, 8);
}

std::tm LocalNow() {
  const time_t now = ::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

const char* BuildArchitecture() {
#if defined(__x86_64__)
  return "x64";
#elif defined(__i386__)
  return "x86";
#elif defined(__aarch64__)
  return "arm64";
#else
  return "unknown";
#endif
}

bool LoggingSuppressed() {
  const char* value = std::getenv(kLogSuppressVariable);
  return value != nullptr && std::strlen(value) == 1;
}

void Append(char* buffer, size_t& used, std::string_view text) {
  if (text.empty()) return;  // an empty view may carry a null pointer, which memcpy must not see
  std::memcpy(buffer + used, text.data(), text.size());
  used += text.size();
}

// The process logger lives from before main until after it: everything that runs in static
// initialisation after it (priority 102) and everything in main can log.
CLogger g_processLogger __attribute__((init_priority(102)));

}  // namespace

CLogger& CLogger::Instance() { return g_processLogger; }

uint32_t CLogger::ThreadFlags() { return t_threadFlags; }
void CLogger::SetThreadFlags(uint32_t flags) { t_threadFlags = flags; }

CLogger::CLogger(LoggerOptions options)
    : options_(std::move(options)),
      mutexSecurity_(LabelPolicy::NoWriteUp),
      formatScratch_(new char[kScratchSize]),
      recordBuffer_(new char[kRecordBufferSize]) {
  processTag_ = MakeProcessTag();
  std::string folder = options_.directory;
  if (folder.empty()) {
    const char* variable = std::getenv(kLogDirectoryVariable);
    if (variable != nullptr) folder = variable;
  }
  defaultFolder_ = folder.empty();
  if (defaultFolder_) {
    ChooseDefaultFolder();
  } else {
    SetFolder(folder);
  }

  const SecurityAttributes* attributes = mutexSecurity_.Attributes();
  const mode_t mode = attributes != nullptr ? attributes->mode : 0600;
  if (!mutex_.Open(options_.mutexName) && !mutex_.Create(options_.mutexName, mode)) {
    ShowMessageBox("", "Cannot allocate resources for logging," + DescribeLastError());
    return;
  }
  if (!Lock()) {
    ShowMessageBox("", "Cannot lock mutex for logging");
    return;
  }
  if (!LoggingSuppressed()) OpenLogFile();
  ReleaseMutex();
  if (options_.banners) WriteLoadBanner();
}

CLogger::~CLogger() {
  if (options_.banners) Log(Plain, "Library has been unloaded");
  enabled_ = false;
}

void CLogger::WriteLoadBanner() {
  const std::string exe = ExecutablePath();
  Log(Plain, "%s, %s, %s, NLS %s, loaded %d",
      {LogArg::String("Library has been loaded"), LogArg::String(BuildArchitecture()),
       LogArg::String(exe.c_str()), LogArg::String(""), LogArg::Int32(0)});
}

void CLogger::LogContext(LogLevel level, const char* context, const char* format, LogArg* args,
                         uint32_t count) {
  if (!enabled_) return;
  const uint32_t flags = t_threadFlags;
  if (flags & kThreadLoggingOff) return;
  if (!Lock()) return;
  WriteRecord(level, context, format, args, count, flags);
  CountAndRelease();
}

bool CLogger::Lock() {
  if (!mutex_.IsOpen()) return false;
  for (int failures = 0; failures < kLockAttempts;) {
    switch (mutex_.Wait(std::chrono::milliseconds(options_.lockTimeoutMs))) {
      case CNamedMutex::WaitResult::Granted:
        return true;
      case CNamedMutex::WaitResult::Abandoned:
        // The previous holder died mid-record; hand the mutex back once so that it is taken
        // again through an ordinary grant.
        mutex_.Release();
        break;
      case CNamedMutex::WaitResult::TimedOut:
        return false;
      case CNamedMutex::WaitResult::Failed:
        ++failures;
        break;
    }
  }
  return false;
}

size_t CLogger::FormatHeader(char* out, size_t room) const {
  const std::tm local = LocalNow();
  size_t used = std::strftime(out, room, "%Y.%m.%d %H:%M:%S", &local);
  if (used == 0) {
    char fixed[32];
    ::asctime_r(&local, fixed);
    used = std::min<size_t>(24, std::strlen(fixed));
    std::memcpy(out, fixed, used);
  }
  Append(out, used, ", SID ");
  Append(out, used, processTag_);
  Append(out, used, ":");
  return used;
}

void CLogger::WriteRecord(LogLevel level, const char* context, const char* format, LogArg* args,
                          uint32_t count, uint32_t flags) {
  // The scratch block is only ever used under the logging mutex, and only by one record at a
  // time; a record that finds it taken formats on the heap instead.
  const bool useScratch = !scratchInUse_;
  FormatBuffer message = useScratch ? FormatBuffer(formatScratch_.get(), kScratchSize)
                                    : FormatBuffer();
  if (useScratch) scratchInUse_ = true;
  MessageFormatter(message, format, args, count);

  if (level == Error || level == CriticalError || !(flags & kThreadErrorsOnly)) {
    char* record = recordBuffer_.get();
    size_t used = FormatHeader(record, 64);
    Append(record, used, kCrLf);
    // Label, prefix and context come from the program and the client's session identifier; they
    // are cut rather than let an overlong identifier end the process.
    const std::string_view label = LevelLabel(level);
    std::string_view prefix = processPrefix_;
    std::string_view ctx = context != nullptr ? std::string_view(context) : std::string_view();
    const size_t fixedRoom = kRecordLimit - 1 - used - kCrLf.size() * 2;
    prefix = prefix.substr(0, std::min(prefix.size(), fixedRoom / 4));
    ctx = ctx.substr(0, std::min(ctx.size(), fixedRoom / 4));
    Append(record, used, label);
    Append(record, used, prefix);
    Append(record, used, ctx);
    const size_t room = kRecordLimit - 1 - used - kCrLf.size() * 2;
    const std::string_view text = message.View();
    Append(record, used, text.substr(0, std::min({text.size(), kMessageLimit, room})));
    Append(record, used, kCrLf);
    Append(record, used, kCrLf);
    WriteRaw(record, used);
  }
  if (useScratch) scratchInUse_ = false;
}

void CLogger::WriteRaw(const char* bytes, size_t count, bool* whole) {
  bool complete = false;
  if (file_.Valid()) {
    const ssize_t written = ::write(file_.Get(), bytes, count);
    complete = written == static_cast<ssize_t>(count);
  }
  if (whole != nullptr) *whole = complete;
}

void CLogger::CountAndRelease() {
  if (++pendingCount_ > 50) {
    totalCount_ += static_cast<uint64_t>(pendingCount_);
    pendingCount_ = 0;
    if (totalCount_ > counterThreshold_) {
      counterThreshold_ += 100000;
      LogArg total = LogArg::UInt64(totalCount_);
      WriteRecord(Debug, nullptr, "Log counter %d", &total, 1, t_threadFlags);
    }
    CheckSize();
  }
  ReleaseMutex();
}

void CLogger::ReleaseMutex() {
  if (mutex_.Release()) return;
  constexpr std::string_view kReleaseFailure = "Internal error. Cannot release mutex";
  bool whole = false;
  WriteRaw(kReleaseFailure.data(), kReleaseFailure.size(), &whole);
  if (whole) WriteRaw(kCrLf.data(), kCrLf.size());
}

void CLogger::SetFolder(std::string_view folder) {
  std::string path = IncludeTrailingSeparator(folder);
  CreateFolderPath(path);
  defaultFolder_ = false;
  std::lock_guard<std::mutex> guard(lock_);
  logDirectory_ = std::move(path);
}

void CLogger::ChooseDefaultFolder() {
  const TesselFolder chosen = DefaultLogFolder();
  if (chosen.path.empty()) ShowMessageBox("", "Cannot make the log folder, " + chosen.problem);
  std::lock_guard<std::mutex> guard(lock_);
  logDirectory_ = chosen.path;
}

std::string CLogger::CopyDirectory() const {
  std::lock_guard<std::mutex> guard(lock_);
  return logDirectory_;
}

void CLogger::OpenLogFile() {
  file_.Reset();
  enabled_ = false;
  // The default folder lies among everyone's: it may have gone or been replaced since it was
  // chosen.
  if (defaultFolder_) {
    const std::string chosen = CopyDirectory();
    if (!chosen.empty() && !IsPrivateFolder(chosen)) ChooseDefaultFolder();
  }
  const std::string folder = CopyDirectory();
  if (folder.empty()) return;
  const std::vector<LogFileEntry> files = ListLogFiles(folder);
  const LogFileEntry* newest = ChooseFileToContinue(files);
  const std::string path = newest != nullptr ? newest->path : folder + NewLogFileName(LocalNow());
  if (!OpenOneFile(path)) return;
  struct stat st;
  if (::fstat(file_.Get(), &st) == 0 && static_cast<uint64_t>(st.st_size) > sizeLimit_) {
    file_.Reset();
    OpenOneFile(folder + NewLogFileName(LocalNow()));
  }
}

bool CLogger::OpenOneFile(const std::string& path) {
  if (!defaultFolder_) CreateFolderPath(ExtractFilePath(path));
  // O_APPEND puts every record at the end of the file even when another process has written
  // since our last record. A link under the name of a log file must not lead the records into
  // another file, nor a FIFO hold the process in open(2): only regular files are written.
  file_.Reset(::open(ToLongPath(path, 260).c_str(),
                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  std::string problem;
  struct stat st;
  if (!file_.Valid()) {
    problem = errno == ELOOP || errno == ENXIO ? "not a regular file" : DescribeError(errno);
  } else if (::fstat(file_.Get(), &st) != 0) {
    problem = DescribeError(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
  } else {
    const int flags = ::fcntl(file_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(file_.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
      problem = DescribeError(errno);
  }
  if (!problem.empty()) file_.Reset();
  enabled_ = file_.Valid();
  if (!enabled_) ReportOpenFailure(path, problem);
  return enabled_;
}

void CLogger::ReportOpenFailure(const std::string& path, const std::string& description) {
  LogArg args[] = {LogArg::String(path.c_str()), LogArg::String(description.c_str())};
  std::string text = FormatMessage("Cannot open log file %s, %s", args, 2);
  text += kCrLf;
  if (const char* variable = std::getenv(kLogDirectoryVariable)) text += variable;
  ShowMessageBox(ExtractFileName(ExecutablePath()) + ", " + std::to_string(CurrentProcessId()),
                 text);
}

void CLogger::CheckSize() {
  if (!enabled_) return;
  struct stat st;
  if (::fstat(file_.Get(), &st) != 0) return;
  if (static_cast<uint64_t>(st.st_size) <= sizeLimit_) return;
  char header[96];
  const size_t used = FormatHeader(header, 64);
  bool whole = false;
  WriteRaw(header, used, &whole);
  if (whole) WriteRaw(kCrLf.data(), kCrLf.size());
  constexpr std::string_view kNote = "Logging file size limit reached, creating new file.";
  WriteRaw(kNote.data(), kNote.size(), &whole);
  if (whole) WriteRaw(kCrLf.data(), kCrLf.size());
  WriteRaw(kCrLf.data(), kCrLf.size());
  OpenLogFile();
}

bool CLogger::EnableThreadLogging(bool on) {
  const uint32_t flags = t_threadFlags & ~kThreadLoggingOff;
  t_threadFlags = flags;
  Log(Plain, "Set logging mode: %s", {LogArg::Int32(on ? 1 : 0)});
  t_threadFlags = on ? flags : (flags | kThreadLoggingOff);
  return true;
}

void CLogger::SetDirectory(std::string_view folder) {
  const std::string requested(folder);
  Log(Debug, "Set log directory %s", {LogArg::String(requested.c_str())});
  const std::string old = CopyDirectory();
  if (enabled_ && !(t_threadFlags & kThreadLoggingOff) && Lock()) {
    SetFolder(requested);
    OpenLogFile();
    CountAndRelease();
    const std::string now = CopyDirectory();
    Log(Debug, "Log directory has been updated: %s -> %s",
        {LogArg::String(old.c_str()), LogArg::String(now.c_str())});
  } else {
    Log(Debug, "Can't set log directory %s", {LogArg::String(requested.c_str())});
  }
}

void CLogger::SetProcessPrefix(std::string_view prefix) {
  processPrefix_ = prefix;
  t_threadFlags &= ~kThreadErrorsOnly;
}

}  // namespace tessel
