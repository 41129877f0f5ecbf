#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/block_set.h"
#include "client/session_folder.h"
#include "client/status.h"
#include "platform/named_event.h"
#include "platform/process_watch.h"
#include "platform/shared_memory_region.h"
#include "sandbox/confinement.h"
#include "wire/control_block.h"

namespace tessel {

class WorkerLogReader;

// The default address-space cap of a confined worker: room for the largest raster that can be
// handed over (1 GiB) plus the output region it is copied into, and no room for much more.
inline constexpr uint64_t kDefaultWorkerAddressSpace = 2560ull << 20;

struct SessionOptions {
  // The worker executable. Empty: TESSEL_WORKER, else the installed or built worker found from
  // this library's folder, else "Tessel" next to the program (client/worker_path.h).
  std::string workerPath;
  // How the worker is confined. kRequire refuses to start a worker when a layer is missing.
  ConfinementMode confinement = ConfinementMode::kRequire;
  // Files and folders (with everything below them) a confined worker may read: the images that
  // are loaded by path. Other paths are refused before they are sent.
  std::vector<std::string> readablePaths;
  // The confined worker's address-space cap in bytes (0: none). Decoding an image that needs
  // more fails, and the worker with it.
  uint64_t addressSpaceLimit = kDefaultWorkerAddressSpace;
  // The confined worker's cap on open files.
  uint32_t openFileLimit = 256;
  // The folder the worker writes its log to. Empty: the log-folder variable in `environment`,
  // else in our own environment, else DefaultLogFolder() ($TMPDIR/TESSEL/LOG/, or
  // $TMPDIR/TESSEL-<uid>/LOG/ when TESSEL is not ours alone). A confined worker can write only
  // there.
  std::string logFolder;
  // How long the worker may take to answer one command (time spent in the BufferRequest hook
  // does not count).
  std::chrono::milliseconds commandDeadline{30000};
  // How long the worker may take from its start to its first answer.
  std::chrono::milliseconds startTimeout{30000};
  // How long Close() gives a running worker to answer Stop and end before it is killed.
  std::chrono::milliseconds closeGrace{2000};
  // Variables for the worker's environment. A confined worker gets only these and the few it
  // needs (its log folder, TMPDIR, locale and font configuration); an unconfined one inherits
  // ours with these added or replaced.
  std::vector<std::pair<std::string, std::string>> environment;
  // The largest extended region a BufferRequest may ask for; larger requests are refused.
  uint32_t maxRegionSize = 1u << 30;
  // The extended region is kept from one command to the next and grows only when an input or
  // an output needs more, so that handing pixels over costs a copy into pages that are mapped
  // already. Its pages are given back at the start of the next command when it is larger than
  // this (after a large image), or when the session has been idle for `regionIdleTime`; the
  // next command with input, that is (every image command has some).
  uint32_t keptRegionSize = 128u << 20;
  std::chrono::milliseconds regionIdleTime{10000};
  // Send SetServiceParent with our process id on start, so the worker ends when we do.
  bool watchParent = true;
};

// The worker's answer to one command. Blocks point into shared memory and stay valid until the
// next command; the worker can still change their bytes (never their bounds), so copy what must
// stay put.
struct Reply {
  uint8_t result = 0;    // 1 = the command succeeded; anything else = failed
  uint32_t command = 0;  // Command as the worker left it: 0 after a command of the main loop
  int32_t status = 0;
  uint64_t workingSetSize = 0;
  bool dataInExtended = false;
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
  std::vector<BlockSpan> blocks;  // the output block set; empty when the command failed
  // Why we could not give the worker the room its output needed, if we could not; the command
  // then fails for that reason.
  Status outputRefusal;

  bool Succeeded() const { return result == 1; }
};

// What the worker asked for when it raised BufferRequest.
struct BufferRequestInfo {
  uint32_t requiredSize = 0;
  bool granted = false;  // false: the request was refused and the worker's output will fail
};

// One worker process and its four shared objects. Not thread-safe: one thread at a time.
//
// The worker is untrusted: every field it writes is read once and checked before it is used, a
// worker that ends is noticed within 20 ms (its pidfd is looked at between slices of the wait),
// and a worker that does not answer in time is killed. Once the worker has ended, for whatever reason, it has been reaped and every
// shared object has been unlinked; the calls then fail with kNotRunning and the reason.
class Session {
 public:
  using BufferRequestHook = std::function<void(Session&, const BufferRequestInfo&)>;

  // Session ids are this long, made of letters and digits.
  static constexpr size_t kIdLength = 16;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Stops the worker politely, kills it when it does not end in time, and unlinks everything.
  ~Session() { Close(); }

  // Creates the four objects under a fresh random id, starts the worker and, with
  // options.watchParent, names us as its parent.
  Status Start(const SessionOptions& options = {});

  // Sends one command with `input` as its block set (no blocks: no input) and waits for the
  // answer, answering BufferRequest events on the way. A Result of 0 is a successful exchange
  // with reply.Succeeded() false. Called from the BufferRequest hook, the command runs inside the
  // open event.
  Result<Reply> Send(uint32_t command, uint64_t parameter = 0,
                     std::span<const BlockSpan> input = {});

  // The commands of the host, each an error of kind kRefused when the worker answers Result 0.
  Status Ping();
  Status CloseBuffer();
  // Gives the extended region's pages back now: the worker is told to drop its view (CloseBuffer),
  // and the region shrinks to one page. Blocks of earlier replies are no longer valid, and as
  // after CloseBuffer the worker maps the region again at the next command with input. Refused
  // inside an event, whose output the region is still sized for.
  Status TrimSharedMemory();
  Status SetServiceParent(uint32_t pid);
  Status SetLoggingMode(bool on, std::u16string_view logFolder);
  // UTF-8 folder, converted to UTF-16 (invalid sequences become U+FFFD).
  Status SetLoggingMode(bool on, std::string_view logFolder);
  // Asks the worker to end and waits until it has ended (within the command deadline), then
  // releases the session. Inside an event Stop is an unknown code and is refused.
  Status Stop();

  // Ends the session now: Stop with a short deadline, else SIGKILL; reaps the worker and unlinks
  // every object. Safe to call at any time outside the hook, and more than once.
  void Close();

  // Called while the worker waits inside a BufferRequest event, after the new extended region
  // exists (or the request was refused). The hook may Send commands; the event stays open until
  // it returns.
  void SetBufferRequestHook(BufferRequestHook hook) { hook_ = std::move(hook); }

  bool Running() const { return state_ == State::kRunning; }
  const std::string& Id() const { return id_; }
  pid_t WorkerPid() const { return workerPid_; }
  // How the worker ended, once it has.
  const std::optional<CProcessWatch::ExitStatus>& WorkerExit() const { return exit_; }
  // Why the session is no longer running; success while it runs.
  const Status& EndReason() const { return endReason_; }
  // The layers of confinement in force for the running worker, checked against the worker's own
  // report in its log.
  const ConfinementReport& Confinement() const { return confinement_; }
  // The session's private folder: the worker's TMPDIR, holding its working folder. Removed when
  // the worker has ended.
  const std::string& PrivateFolder() const { return folder_.Path(); }
  // The folder the worker logs to (with a trailing '/').
  const std::string& LogFolder() const { return logFolder_; }
  // The size of the extended region as this side holds it; 0 when there is none.
  size_t ExtendedRegionSize() const { return extended_.IsOpen() ? extended_.Size() : 0; }

  // Whether the worker may read the file at `absolutePath`: always unconfined; confined, only
  // beneath SessionOptions::readablePaths. Refused with a sentence that says what to do.
  Status CheckReadable(const std::string& absolutePath) const;

  // The object name for a suffix of the control block's list, under this session's id.
  std::string ObjectName(const char* suffix) const;

 private:
  enum class State { kIdle, kRunning, kEnded };
  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds CommandDeadline() const;
  Status CreateObjects();
  Status PrepareFolders();
  Status CheckSelfReport(const WorkerLogReader& log) const;
  Status SpawnWorker(const std::string& path);
  Result<Reply> Exchange(uint32_t command, uint64_t parameter, std::span<const BlockSpan> input,
                         std::chrono::milliseconds deadline);
  Status PlaceInput(std::span<const BlockSpan> input, uint64_t size, uint32_t command);
  Status EnsureExtendedRegion(size_t size);
  Status GrowExtendedRegion(size_t size);
  Status TrimWhenDue();
  Status ReplaceExtendedRegion(size_t size);
  Status AwaitWorker(Clock::time_point end, uint32_t command, std::chrono::milliseconds allowed);
  Status AnswerEvent();
  Status ReadOutput(Reply& reply);
  Status CheckedCommand(uint32_t command, uint64_t parameter, std::span<const BlockSpan> input);
  Status WorkerEnded(uint32_t command);
  Status Abandon(Status reason);
  // Reaps the worker (killing it first when it still runs), releases every object and ends the
  // session with `reason`.
  void Finish(Status reason);
  Status NotRunning() const;
  void ReleaseObjects();
  void UnlinkFixedNames();

  State state_ = State::kIdle;
  Status endReason_;
  SessionOptions options_;
  std::string id_;
  CSharedMemoryRegion main_;
  CSharedMemoryRegion extended_;
  CNamedEvent serverEvent_;
  CNamedEvent clientEvent_;
  CControlBlockView block_;
  CProcessWatch watch_;
  pid_t workerPid_ = 0;
  std::optional<CProcessWatch::ExitStatus> exit_;
  BufferRequestHook hook_;
  ConfinementReport confinement_;
  CSessionFolder folder_;
  std::string logFolder_;

  bool fixedNamesLinked_ = false;  // main mapping and events still carry their names
  bool extendedLinked_ = false;    // the extended region's name exists
  int eventDepth_ = 0;             // open events this thread is answering inside of
  uint32_t regionFloor_ = 0;       // an open event needs the extended region at least this large
  std::chrono::steady_clock::duration hookTime_{};
  Clock::time_point lastAnswer_{};  // of the last command sent outside an event
  Status outputRefusal_;  // of the command under way  // spent in the BufferRequest hook so far
};

}  // namespace tessel
