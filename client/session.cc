#include "client/session.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "client/message.h"
#include "client/session_folder.h"
#include "client/worker_log.h"
#include "client/worker_path.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/tessel_folders.h"
#include "sandbox/worker_launcher.h"
#include "wire/environment.h"
#include "wire/object_names.h"
#include "wire/wide_text.h"

extern char** environ;

namespace tessel {

namespace {

using namespace std::chrono_literals;
using client_detail::Format;

// The longest a dead worker goes unnoticed: futexes cannot be polled together with the pidfd,
// so the wait for an answer is cut into slices with a look at the pidfd between them. An answer
// still ends the wait at once.
constexpr auto kLivenessSlice = 20ms;
// BufferRequest hooks that send commands which raise BufferRequest again nest; beyond this depth
// such requests are answered without calling the hook.
constexpr int kMaxHookDepth = 4;
// Our reply codes in Status with EventDone. The worker logs them and goes on either way.
constexpr int32_t kEventGranted = 0;
constexpr int32_t kEventRefused = -1;

std::string CommandName(uint32_t command) {
  switch (command) {
    case kCommandEventDone:
      return "EventDone";
    case kCommandCloseBuffer:
      return "CloseBuffer";
    case kCommandSetLoggingMode:
      return "SetLoggingMode";
    case kCommandPing:
      return "Ping";
    case kCommandStop:
      return "Stop";
    case kCommandSetServiceParent:
      return "SetServiceParent";
    case kCommandLoad:
      return "Load";
    case kCommandFree:
      return "Free";
    case kCommandGetBitmap:
      return "GetBitmap";
    default:
      return Format("command %u", command);
  }
}

std::string DescribeDuration(std::chrono::milliseconds duration) {
  const long long ms = duration.count();
  return ms % 1000 == 0 ? Format("%lld s", ms / 1000) : Format("%lld ms", ms);
}

std::string DescribeExit(const CProcessWatch::ExitStatus& status) {
  if (status.exited) return Format("worker exited with code %d", status.code);
  return Format("worker was killed by signal %d (%s)", status.signal, ::strsignal(status.signal));
}

Status SharedMemoryShortage(uint64_t needed) {
  return Status(ErrorKind::kSystem,
                Format("not enough shared memory: /dev/shm has %llu bytes free, %llu needed",
                       static_cast<unsigned long long>(SharedMemoryAvailable()),
                       static_cast<unsigned long long>(needed)));
}

Status SystemError(const char* what, int error) {
  return Status(ErrorKind::kSystem, Format("%s: %s", what, DescribeError(error).c_str()));
}

// Letters and digits only: the id becomes part of object names and the worker's command line.
bool DrawSessionId(std::string& id) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kLetters = sizeof(kAlphabet) - 1;
  id.clear();
  unsigned char bytes[32];
  while (id.size() < Session::kIdLength) {
    const ssize_t drawn = ::getrandom(bytes, sizeof(bytes), 0);
    if (drawn < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t i = 0; i < drawn && id.size() < Session::kIdLength; ++i) {
      // Bytes above the last whole multiple of the alphabet would favour its first letters.
      if (bytes[i] < 256 / kLetters * kLetters) id.push_back(kAlphabet[bytes[i] % kLetters]);
    }
  }
  return true;
}

// Variables of ours that a confined worker still gets: the locale and time zone its text and log
// stamps follow, where the font configuration lies, and the switch that silences its log.
constexpr const char* kPassedVariables[] = {
    "LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "TZ",
    "FONTCONFIG_FILE", "FONTCONFIG_PATH", kLogSuppressVariable,
};

#if defined(__SANITIZE_ADDRESS__)
// A sanitized worker reserves terabytes of shadow memory, and its leak checker needs a process
// of its own, which the filter refuses: such builds run without both.
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

void SetVariable(std::vector<std::string>& entries, std::string_view name, std::string_view value) {
  std::string entry;
  entry.reserve(name.size() + 1 + value.size());
  entry.append(name).append(1, '=').append(value);
  for (std::string& existing : entries) {
    if (std::string_view(existing).substr(0, existing.find('=')) == name) {
      existing = std::move(entry);
      return;
    }
  }
  entries.push_back(std::move(entry));
}

// The worker's whole environment: a confined one gets only what it needs and what the caller
// names; an unconfined one inherits ours.
std::vector<std::string> WorkerEnvironment(const SessionOptions& options,
                                           const std::string& logFolder,
                                           const std::string& privateFolder) {
  std::vector<std::string> entries;
  if (options.confinement == ConfinementMode::kOff) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
      entries.emplace_back(*entry);
  } else {
    for (const char* name : kPassedVariables) {
      if (const char* value = ::getenv(name)) SetVariable(entries, name, value);
    }
    // A thread arena reserves 64 MiB of address space each; on a machine with many cores the
    // worker's threads would spend its cap on reservations.
    SetVariable(entries, "MALLOC_ARENA_MAX", "2");
    if (kSanitizedBuild) {
      for (const char* name : {"UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = ::getenv(name)) SetVariable(entries, name, value);
      }
      const char* asan = ::getenv("ASAN_OPTIONS");
      std::string value = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string();
      SetVariable(entries, "ASAN_OPTIONS", value + "detect_leaks=0");
    }
  }
  SetVariable(entries, "TMPDIR", privateFolder);
  SetVariable(entries, kLogDirectoryVariable, logFolder);
  for (const auto& [name, value] : options.environment) SetVariable(entries, name, value);
  return entries;
}

std::string ExcludeSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder;
}

// Where the worker will log: it reads the folder from its environment at start.
std::string LogFolderFor(const SessionOptions& options) {
  std::string folder = options.logFolder;
  for (const auto& [name, value] : options.environment) {
    if (folder.empty() && name == kLogDirectoryVariable) folder = value;
  }
  if (folder.empty()) {
    const char* variable = ::getenv(kLogDirectoryVariable);
    folder = variable != nullptr && *variable != '\0' ? std::string(variable)
                                                      : DefaultLogFolder().path;
  }
  if (folder.empty()) return folder;  // no default folder could be had
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(folder, ignored);
  return WithSlash(absolute.empty() ? folder : absolute.string());
}

Status FolderError(const std::string& what, const std::string& folder, const std::error_code& error) {
  return Status(ErrorKind::kSystem, "cannot make " + what + " " + folder + ": " + error.message());
}

}  // namespace

std::string Session::ObjectName(const char* suffix) const {
  return tessel::ObjectName(suffix, id_);
}

Status Session::Start(const SessionOptions& options) {
  if (state_ != State::kIdle)
    return Status(ErrorKind::kNotRunning, "a session can be started only once");
  options_ = options;
  Result<std::string> worker = ResolveWorkerPath(options_.workerPath);
  Status started = worker ? CreateObjects() : worker.Error();
  if (started) started = PrepareFolders();
  // Only what the worker writes from now on can be its report.
  WorkerLogReader log(logFolder_, id_);
  if (started) log.Mark();
  if (started) started = SpawnWorker(worker.Value());
  if (!started) {
    ReleaseObjects();
    state_ = State::kEnded;
    endReason_ = started;
    return started;
  }
  state_ = State::kRunning;
  lastAnswer_ = Clock::now();
  // The main mapping's pages are taken while the worker starts, on the other core, rather than
  // before: the start is what every new worker waits for.
  if (!main_.Reserve()) {
    const int error = errno;
    Close();
    endReason_ = error == ENOSPC ? SharedMemoryShortage(kMainMappingSize)
                                 : SystemError("cannot reserve the session's shared memory", error);
    return endReason_;
  }
  // The first answer also means that the worker has written its report on itself, which a
  // required confinement checks.
  const bool check = options_.confinement == ConfinementMode::kRequire;
  if (!options_.watchParent && !check) return Status();
  Result<Reply> reply = options_.watchParent ? Send(kCommandSetServiceParent, CurrentProcessId())
                                             : Send(kCommandPing);
  Status failure;
  if (!reply) {
    failure = reply.Error();
  } else if (!reply->Succeeded()) {
    failure = Status(ErrorKind::kRefused, options_.watchParent
                                              ? "worker refused SetServiceParent with our process id"
                                              : "worker refused Ping");
  } else if (check) {
    failure = CheckSelfReport(log);
  }
  if (!failure) {
    Close();
    endReason_ = failure;
  }
  return failure;
}

Status Session::CheckSelfReport(const WorkerLogReader& log) const {
  // What was applied is only half the proof: the worker must find itself confined too. Without
  // its log (switched off by the caller) there is nothing to read.
  const char* silenced = ::getenv(kLogSuppressVariable);
  bool silent = silenced != nullptr && std::strlen(silenced) == 1;
  for (const auto& [name, value] : options_.environment)
    if (name == kLogSuppressVariable) silent = value.size() == 1;
  if (silent) return Status();
  const std::optional<WorkerSelfReport> report = log.ReadSelfReport();
  if (!report) {
    return Status(ErrorKind::kSandboxUnavailable,
                  "the worker did not report its confinement in its log in " + logFolder_);
  }
  if (!report->Confined()) {
    return Status(ErrorKind::kSandboxUnavailable,
                  Format("the worker does not find itself confined: privilege test %s, mandatory "
                         "level %s, privileges \"%s\"",
                         report->privilegeTestPassed ? "OK" : "failed",
                         report->mandatoryLevel.c_str(), report->privileges.c_str()));
  }
  return Status();
}

Status Session::CreateObjects() {
  // A taken name means another session drew the same id; a new id will not collide again in
  // practice, but another attempt costs nothing.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!DrawSessionId(id_)) return SystemError("cannot draw a session id", errno);
    // The worker opens the extended region first and needs it at start.
    const bool extendedMade = extended_.Create(ObjectName(kExtendedRegionSuffix), PageSize());
    const bool mainMade =
        extendedMade &&
        main_.Create(ObjectName(kMainMappingSuffix), kMainMappingSize, Prefault::kOnTouch);
    const bool serverMade = mainMade && serverEvent_.Create(ObjectName(kServerEventSuffix));
    if (serverMade && clientEvent_.Create(ObjectName(kClientEventSuffix))) {
      extendedLinked_ = fixedNamesLinked_ = true;
      block_ = CControlBlockView(main_.Data());
      return Status();
    }
    const int error = errno;
    // Unlink exactly what this attempt made: a name we failed to create is another session's.
    if (serverMade) CNamedEvent::Unlink(ObjectName(kServerEventSuffix));
    if (mainMade) CSharedMemoryRegion::Unlink(ObjectName(kMainMappingSuffix));
    if (extendedMade) CSharedMemoryRegion::Unlink(ObjectName(kExtendedRegionSuffix));
    serverEvent_.Close();
    main_.Close();
    extended_.Close();
    if (error == ENOSPC) return SharedMemoryShortage(kMainMappingSize + 3 * PageSize());
    if (error != EEXIST) return SystemError("cannot create the session's shared objects", error);
  }
  return SystemError("cannot create the session's shared objects", EEXIST);
}

Status Session::PrepareFolders() {
  logFolder_ = LogFolderFor(options_);
  std::error_code error;
  if (logFolder_.empty())
    return Status(ErrorKind::kSystem, "cannot make the log folder: " + DefaultLogFolder().problem);
  std::filesystem::create_directories(logFolder_, error);
  if (error) return FolderError("the log folder", logFolder_, error);
  // The session's own folder, made before the worker starts so that a confined worker can be
  // given it and nothing beside it. Sessions whose client died left theirs, and their extended
  // region: they go first.
  const TesselFolder sessions = ChooseTesselFolder();
  if (sessions.path.empty())
    return Status(ErrorKind::kSystem, "cannot make the sessions' folder: " + sessions.problem);
  const std::string parent = ExcludeSlash(sessions.path);
  CSessionFolder::SweepStale(parent, SessionObjectNames);
  return folder_.Create(parent, id_);
}

Status Session::SpawnWorker(const std::string& path) {
  WorkerLaunch launch;
  launch.mode = options_.confinement;
  std::error_code ignored;
  launch.executable = std::filesystem::absolute(path, ignored).string();
  launch.arguments = {id_};
  launch.environment = WorkerEnvironment(options_, logFolder_, folder_.Path());
  for (const std::string& readable : options_.readablePaths)
    launch.readable.push_back(std::filesystem::absolute(readable, ignored).string());
  // The font configuration a caller points us to must be readable where it lies.
  for (const char* variable : {"FONTCONFIG_FILE", "FONTCONFIG_PATH"}) {
    const char* value = ::getenv(variable);
    for (std::string_view rest = value != nullptr ? value : ""; !rest.empty();) {
      const std::string item(rest.substr(0, rest.find(':')));
      rest.remove_prefix(std::min(rest.size(), item.size() + 1));
      if (!item.empty() && ::access(item.c_str(), R_OK) == 0) launch.readable.push_back(item);
    }
  }
  launch.privateFolders = {folder_.Path()};
  launch.appendFolders = {logFolder_};
  for (const std::string& name : SessionObjectNames(id_))
    launch.sharedObjects.push_back(SharedObjectFile(name));
  // The worker logs under a mutex shared by every process of ours; made here, a confined worker
  // needs no right to create anything among the shared objects.
  CNamedMutex mutex;
  const std::string mutexName = LoggingMutexName();
  if (mutex.Open(mutexName) || mutex.Create(mutexName, 0600))
    launch.sharedObjects.push_back(SharedObjectFile(mutexName));
  launch.addressSpaceLimit = kSanitizedBuild ? 0 : options_.addressSpaceLimit;
  launch.openFileLimit = options_.openFileLimit;

  LaunchedWorker launched;
  std::string error;
  if (!LaunchWorker(launch, launched, error)) {
    return Status(launched.confinementFailed ? ErrorKind::kSandboxUnavailable : ErrorKind::kSystem,
                  error);
  }
  confinement_ = std::move(launched.report);
  const pid_t pid = launched.pid;
  workerPid_ = pid;
  if (!watch_.Open(pid)) {
    const int error = errno;
    // Without a pidfd we cannot watch it; do not leave it running or unreaped.
    ::kill(pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    return SystemError("cannot watch the worker process", error);
  }
  return Status();
}

Result<Reply> Session::Send(uint32_t command, uint64_t parameter,
                            std::span<const BlockSpan> input) {
  // Only before a command with input: the worker maps the region again for its input, while a
  // command without input would find the region closed and could not answer with output.
  if (!input.empty()) {
    if (Status trimmed = TrimWhenDue(); !trimmed) return trimmed;
  }
  return Exchange(command, parameter, input, CommandDeadline());
}

Status Session::TrimWhenDue() {
  if (state_ != State::kRunning || eventDepth_ != 0 || ExtendedRegionSize() <= PageSize())
    return Status();
  if (ExtendedRegionSize() > options_.keptRegionSize ||
      Clock::now() - lastAnswer_ >= options_.regionIdleTime) {
    return TrimSharedMemory();
  }
  return Status();
}

Status Session::TrimSharedMemory() {
  if (state_ != State::kRunning) return NotRunning();
  if (eventDepth_ != 0) {
    return Status(ErrorKind::kRefused,
                  "the extended region cannot be trimmed inside an event: it holds its output");
  }
  if (ExtendedRegionSize() <= PageSize()) return Status();
  // The worker must not keep a view past the object's new end.
  Result<Reply> closed = Exchange(kCommandCloseBuffer, 0, {}, CommandDeadline());
  if (!closed) return closed.Error();
  if (!closed->Succeeded()) return Status(ErrorKind::kRefused, "worker refused CloseBuffer");
  return ReplaceExtendedRegion(PageSize());
}

std::chrono::milliseconds Session::CommandDeadline() const {
  // The first answer also waits for the worker's start-up.
  return fixedNamesLinked_ ? std::max(options_.commandDeadline, options_.startTimeout)
                           : options_.commandDeadline;
}

Result<Reply> Session::Exchange(uint32_t command, uint64_t parameter,
                                std::span<const BlockSpan> input,
                                std::chrono::milliseconds deadline) {
  if (state_ != State::kRunning) return NotRunning();
  const uint64_t size = input.empty() ? 0 : EncodedBlockSetSize(input);
  if (Status placed = PlaceInput(input, size, command); !placed) return placed;

  block_.SetResult(0);  // the worker leaves Result alone when a command fails
  block_.SetParameter(parameter);
  // Inside an event Command keeps our code after the answer; a new event then shows as a
  // RequiredSize that is no longer 0.
  block_.SetRequiredSize(0);
  block_.SetCommand(command);
  if (!clientEvent_.Reset() || !serverEvent_.Set())
    return Abandon(SystemError("cannot signal the worker", errno));

  const int depth = eventDepth_;
  if (depth == 0) outputRefusal_ = Status();
  Clock::time_point end = Clock::now() + deadline;
  for (;;) {
    if (Status answered = AwaitWorker(end, command, deadline); !answered) return answered;
    const bool finished =
        depth == 0 ? block_.Command() == kCommandNone : block_.RequiredSize() == 0;
    if (finished) break;
    // Time our hook spends is not the worker's; the rest of answering is, so that a worker that
    // raises event after event still meets its deadline.
    const Clock::duration hookedBefore = hookTime_;
    if (Status answer = AnswerEvent(); !answer) return answer;
    end += hookTime_ - hookedBefore;
  }
  if (depth == 0) lastAnswer_ = Clock::now();
  // The worker has opened every object by now; only the extended region is opened again later.
  if (fixedNamesLinked_) UnlinkFixedNames();

  Reply reply;
  reply.command = block_.Command();
  reply.result = block_.Result();
  reply.status = block_.Status();
  reply.workingSetSize = block_.WorkingSetSize();
  if (depth == 0) reply.outputRefusal = outputRefusal_;
  Status output = reply.Succeeded() ? ReadOutput(reply) : Status();
  if (!output) return output;
  return reply;
}

Status Session::PlaceInput(std::span<const BlockSpan> input, uint64_t size, uint32_t command) {
  if (size > UINT32_MAX) {
    return Status(ErrorKind::kBadInput,
                  Format("input of %llu bytes for %s is larger than a block set can describe",
                         static_cast<unsigned long long>(size), CommandName(command).c_str()));
  }
  bool inExtended = false;
  if (size > kInlineDataSize) {
    // May send CloseBuffer, which rewrites the data fields: they are written below.
    if (Status room = EnsureExtendedRegion(static_cast<size_t>(size)); !room) return room;
    EncodeBlockSet(input, static_cast<unsigned char*>(extended_.Data()));
    inExtended = true;
  } else if (size != 0) {
    EncodeBlockSet(input, block_.InlineData());
  }
  block_.SetDataInExtended(inExtended ? 1 : 0);
  block_.SetDataOffset(0);
  block_.SetDataSize(static_cast<uint32_t>(size));
  return Status();
}

Status Session::EnsureExtendedRegion(size_t size) {
  if (extended_.IsOpen() && extended_.Size() >= size) return Status();
  // The worker keeps its view of the old region until it is told to drop it; it opens the new
  // one by name when a command with input comes.
  Result<Reply> closed = Exchange(kCommandCloseBuffer, 0, {}, CommandDeadline());
  if (!closed) return closed.Error();
  if (!closed->Succeeded()) return Status(ErrorKind::kRefused, "worker refused CloseBuffer");
  return ReplaceExtendedRegion(std::max<size_t>(size, regionFloor_));
}

Status Session::GrowExtendedRegion(size_t size) {
  // A region that is large enough stays as it is, and so does the worker's view of it.
  if (extended_.IsOpen() && extended_.Size() >= size) return Status();
  return ReplaceExtendedRegion(size);
}

Status Session::ReplaceExtendedRegion(size_t size) {
  // The same object grows or shrinks in place: a confined worker may open only the objects it
  // was given at its start, and it may never change their size itself.
  if (!extended_.Resize(size)) {
    const int error = errno;
    if (error == ENOSPC) return SharedMemoryShortage(size);
    return Status(ErrorKind::kSystem, Format("cannot give the extended region %zu bytes: %s", size,
                                             DescribeError(error).c_str()));
  }
  return Status();
}

Status Session::AwaitWorker(Clock::time_point end, uint32_t command,
                            std::chrono::milliseconds allowed) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    const auto left = end > now ? std::chrono::ceil<std::chrono::milliseconds>(end - now) : 0ms;
    const CNamedEvent::WaitResult wait =
        clientEvent_.Wait(std::min<std::chrono::milliseconds>(left, kLivenessSlice));
    if (wait == CNamedEvent::WaitResult::Signalled) return Status();
    if (wait == CNamedEvent::WaitResult::Failed)
      return Abandon(SystemError("cannot wait for the worker's answer", errno));
    if (watch_.IsAlive() == CProcessWatch::State::Ended) {
      // It may have answered just before it ended.
      if (clientEvent_.Wait(0ms) == CNamedEvent::WaitResult::Signalled) return Status();
      return WorkerEnded(command);
    }
    if (Clock::now() >= end) {
      return Abandon(
          Status(ErrorKind::kTimedOut,
                 Format("worker did not answer %s within %s; it has been killed",
                        CommandName(command).c_str(), DescribeDuration(allowed).c_str())));
    }
  }
}

Status Session::AnswerEvent() {
  const int32_t event = block_.Event();
  const uint32_t required = block_.RequiredSize();
  BufferRequestInfo info;
  info.requiredSize = required;
  const bool bufferRequest = event == kEventBufferRequest;
  if (bufferRequest && required != 0 && required <= options_.maxRegionSize) {
    // An open outer event still needs its own size once this one is answered.
    Status region = GrowExtendedRegion(std::max<size_t>(required, regionFloor_));
    info.granted = region.Ok();
    if (!region) outputRefusal_ = std::move(region);
  } else if (bufferRequest) {
    outputRefusal_ = Status(ErrorKind::kBadInput,
                            Format("an output of %u bytes is larger than the %u bytes that can be "
                                   "handed over (SessionOptions::maxRegionSize)",
                                   required, options_.maxRegionSize));
  }
  // A refused request leaves the region as it is: the worker maps it by its real size, finds it
  // too small and fails its output cleanly.

  if (hook_ && bufferRequest && eventDepth_ < kMaxHookDepth) {
    const uint32_t outerFloor = regionFloor_;
    if (info.granted) regionFloor_ = std::max(regionFloor_, required);
    // A hook that throws leaves the worker inside an event we can no longer answer.
    struct CHookScope {
      Session& session;
      uint32_t floor;
      int exceptions = std::uncaught_exceptions();
      ~CHookScope() {
        --session.eventDepth_;
        session.regionFloor_ = floor;
        if (std::uncaught_exceptions() > exceptions && session.state_ == State::kRunning) {
          session.Finish(Status(ErrorKind::kWorkerEnded,
                                "the BufferRequest hook threw; the worker has been killed"));
        }
      }
    } scope{*this, outerFloor};
    ++eventDepth_;
    // The hook's time, nested commands included, counted once.
    const Clock::time_point hookStart = Clock::now();
    const Clock::duration hookedBefore = hookTime_;
    hook_(*this, info);
    hookTime_ = hookedBefore + (Clock::now() - hookStart);
  }
  if (state_ != State::kRunning) return NotRunning();

  block_.SetStatus(info.granted ? kEventGranted : kEventRefused);
  block_.SetRequiredSize(0);
  block_.SetCommand(kCommandEventDone);
  if (!clientEvent_.Reset() || !serverEvent_.Set())
    return Abandon(SystemError("cannot signal the worker", errno));
  return Status();
}

Status Session::ReadOutput(Reply& reply) {
  const uint8_t inExtended = block_.DataInExtended();
  const uint32_t offset = block_.DataOffset();
  const uint32_t size = block_.DataSize();
  reply.dataInExtended = inExtended != 0;
  reply.dataOffset = offset;
  reply.dataSize = size;
  if (size == 0) return Status();
  std::span<const unsigned char> area;
  if (inExtended != 0) {
    // Our own mapping's size, never a size the worker reports.
    const size_t room = extended_.IsOpen() ? extended_.Size() : 0;
    if (size > room) {
      return Status(
          ErrorKind::kBadOutput,
          Format("worker wrote an output of %u bytes outside the %zu-byte extended region", size,
                 room));
    }
    area = {static_cast<const unsigned char*>(extended_.Data()), size};
  } else {
    if (static_cast<uint64_t>(offset) + size > kInlineDataSize) {
      return Status(ErrorKind::kBadOutput,
                    Format("worker wrote an output of %u bytes at offset %u outside the %u-byte "
                           "inline area",
                           size, offset, kInlineDataSize));
    }
    area = {block_.InlineData() + offset, size};
  }
  return DecodeBlockSet(area, reply.blocks);
}

Status Session::CheckedCommand(uint32_t command, uint64_t parameter,
                               std::span<const BlockSpan> input) {
  Result<Reply> reply = Send(command, parameter, input);
  if (!reply) return reply.Error();
  if (!reply->Succeeded())
    return Status(ErrorKind::kRefused, Format("worker refused %s", CommandName(command).c_str()));
  return Status();
}

Status Session::Ping() {
  return CheckedCommand(kCommandPing, 0, {});
}

Status Session::CloseBuffer() {
  return CheckedCommand(kCommandCloseBuffer, 0, {});
}

Status Session::SetServiceParent(uint32_t pid) {
  return CheckedCommand(kCommandSetServiceParent, pid, {});
}

Status Session::CheckReadable(const std::string& absolutePath) const {
  const ConfinementLayer* landlock = confinement_.Find("Landlock");
  if (landlock == nullptr || !landlock->inForce) return Status();
  // The kernel decides on the file a path leads to, links resolved.
  namespace fs = std::filesystem;
  std::error_code ignored;
  const std::string file = fs::weakly_canonical(absolutePath, ignored).string();
  for (const std::string& readable : options_.readablePaths) {
    std::string granted = fs::weakly_canonical(fs::absolute(readable, ignored), ignored).string();
    while (!granted.empty() && granted.back() == '/') granted.pop_back();
    if (granted.empty() || file == granted || (file.rfind(granted, 0) == 0 && file[granted.size()] == '/'))
      return Status();
  }
  return Status(ErrorKind::kBadInput,
                absolutePath + " is not readable by the confined worker: name it, or a folder "
                               "above it, in SessionOptions::readablePaths");
}

Status Session::SetLoggingMode(bool on, std::u16string_view logFolder) {
  // Anywhere else the worker's records would be refused one by one, silently.
  if (on && state_ == State::kRunning && options_.confinement != ConfinementMode::kOff) {
    const std::u16string own = AnsiToWide(logFolder_);
    const bool same = logFolder == own ||
                      (logFolder.size() + 1 == own.size() && own.substr(0, logFolder.size()) == logFolder);
    if (!same) {
      return Status(ErrorKind::kBadInput,
                    "a confined worker can log only into " + logFolder_ +
                        ", the folder it was given at its start (SessionOptions::logFolder)");
    }
  }
  const std::vector<std::byte> folder = WideTextBytes(logFolder);
  const BlockSpan blocks[] = {folder};
  return CheckedCommand(kCommandSetLoggingMode, on ? 1 : 0, blocks);
}

Status Session::SetLoggingMode(bool on, std::string_view logFolder) {
  return SetLoggingMode(on, std::u16string_view(AnsiToWide(logFolder)));
}

Status Session::Stop() {
  Result<Reply> reply = Send(kCommandStop);
  if (!reply) return reply.Error();
  if (!reply->Succeeded()) return Status(ErrorKind::kRefused, "worker refused Stop");
  // The answer comes before the worker's teardown.
  if (watch_.WaitForEnd(options_.commandDeadline) != CProcessWatch::State::Ended) {
    return Abandon(Status(ErrorKind::kTimedOut,
                          Format("worker answered Stop but did not end within %s; it has been "
                                 "killed",
                                 DescribeDuration(options_.commandDeadline).c_str())));
  }
  Finish(Status());
  if (exit_ && !(exit_->exited && exit_->code == 0)) {
    endReason_ = Status(ErrorKind::kWorkerEnded,
                        Format("%s after it answered Stop", DescribeExit(*exit_).c_str()));
    return endReason_;
  }
  return Status();
}

void Session::Close() {
  if (state_ == State::kRunning && eventDepth_ == 0) {
    Result<Reply> reply = Exchange(kCommandStop, 0, {}, options_.closeGrace);
    if (reply && reply->Succeeded() && state_ == State::kRunning)
      watch_.WaitForEnd(options_.closeGrace);
  }
  // Kills the worker when it is still running, reaps it, and unlinks what is left.
  if (state_ != State::kEnded) {
    Finish(Status());
  } else {
    ReleaseObjects();
  }
}

Status Session::WorkerEnded(uint32_t command) {
  Finish(Status());
  const std::string what = exit_ ? DescribeExit(*exit_) : std::string("worker ended");
  std::string message = Format("%s before answering %s", what.c_str(), CommandName(command).c_str());
  // A worker whose allocation fails under its cap ends through its fatal-error path (code 100)
  // or aborts inside a library.
  const bool memoryDeath =
      exit_ && (exit_->exited ? exit_->code == 100 : exit_->signal == SIGABRT);
  const uint64_t limit = kSanitizedBuild ? 0 : options_.addressSpaceLimit;
  if (memoryDeath && limit != 0 && options_.confinement != ConfinementMode::kOff) {
    message += Format("; it may have run out of memory while decoding: the limit is %llu bytes "
                      "of address space (SessionOptions::addressSpaceLimit)",
                      static_cast<unsigned long long>(limit));
  }
  endReason_ = Status(ErrorKind::kWorkerEnded, std::move(message));
  return endReason_;
}

Status Session::Abandon(Status reason) {
  Finish(reason);
  return reason;
}

void Session::Finish(Status reason) {
  if (watch_.IsWatching()) {
    CProcessWatch::ExitStatus status;
    CProcessWatch::ReapResult reaped = watch_.Reap(status, false);
    if (reaped == CProcessWatch::ReapResult::StillRunning) {
      watch_.SendSignal(SIGKILL);
      reaped = watch_.Reap(status, true);
    }
    if (reaped == CProcessWatch::ReapResult::Reaped) exit_ = status;
    watch_.Close();
  }
  ReleaseObjects();
  state_ = State::kEnded;
  endReason_ = std::move(reason);
}

Status Session::NotRunning() const {
  if (state_ == State::kIdle)
    return Status(ErrorKind::kNotRunning, "the session has not been started");
  if (endReason_.Ok()) return Status(ErrorKind::kNotRunning, "the session has been closed");
  return Status(ErrorKind::kNotRunning,
                Format("the session has ended: %s", endReason_.Message().c_str()));
}

void Session::UnlinkFixedNames() {
  CSharedMemoryRegion::Unlink(ObjectName(kMainMappingSuffix));
  CNamedEvent::Unlink(ObjectName(kServerEventSuffix));
  CNamedEvent::Unlink(ObjectName(kClientEventSuffix));
  fixedNamesLinked_ = false;
}

void Session::ReleaseObjects() {
  if (fixedNamesLinked_) UnlinkFixedNames();
  if (extendedLinked_) CSharedMemoryRegion::Unlink(ObjectName(kExtendedRegionSuffix));
  extendedLinked_ = false;
  block_ = CControlBlockView();
  serverEvent_.Close();
  clientEvent_.Close();
  extended_.Close();
  main_.Close();
  // Called once the worker has ended: nothing writes into its folder any more.
  folder_.Remove();
}

}  // namespace tessel
