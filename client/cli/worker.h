#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/cli/input.h"
#include "client/cli/size_plan.h"
#include "client/image_client.h"
#include "client/session.h"
#include "client/status.h"
#include "client/worker_log.h"
#include "platform/process_watch.h"

namespace tessel::cli {

// The layers a confined worker is held by, as the session names them.
inline constexpr const char* kConfinementLayers[] = {
    "no_new_privs", "capabilities", "environment", "resource limits", "Landlock", "seccomp"};

// What the user chose for the workers of one run.
struct WorkerSetup {
  std::string workerPath;  // the worker program, as FindWorker found it
  std::string logDir;      // --log-dir, checked beforehand; empty: a private temporary folder
  ConfinementMode confinement = ConfinementMode::kRequire;
  std::vector<std::string> readable;  // the files the worker may read, as Load will name them
  uint64_t pixelMemory = kDefaultPixelMemory;  // the most an image's pixels may take
};

// How the tool starts its workers: with the session options the setup asks for, their logs in
// one folder we read, so that a refused command can be explained with the worker's own words.
// The folder is the user's --log-dir, else a private temporary folder that is removed with this
// object, once every worker started through it has ended. Thread-safe: the workers of a pool
// start through one starter.
class CWorkerStarter {
 public:
  explicit CWorkerStarter(WorkerSetup setup) : setup_(std::move(setup)) {}
  ~CWorkerStarter();
  CWorkerStarter(const CWorkerStarter&) = delete;
  CWorkerStarter& operator=(const CWorkerStarter&) = delete;

  // Starts `session`'s worker, logging into the run's folder. A worker that cannot be confined
  // as asked is not tried again: the system will not offer the missing layer a moment later.
  Status Start(Session& session);
  // The log folder, once a Start has made it.
  std::string LogDir() const;

  // Loads `source` under the image `id`; on failure `error` says why as the user reads it.
  // `kept`: the worker holds the image under `id` already and does not read the source again,
  // so its bytes are not copied to it a second time.
  Result<LoadedImage> Load(ImageSession& images, uint64_t id, const CInput& source,
                           TargetSize target, std::string& error, bool kept = false,
                           PixelStorage storage = PixelStorage::kView) const;
  // A failure as the user reads it: the worker's own reason where it gave one.
  std::string Explain(const Status& failure) const;

 private:
  Status PrepareLogFolder();

  mutable std::mutex mutex_;
  WorkerSetup setup_;
  Status unconfinable_;     // why a worker cannot be confined as asked; success until known
  std::string privateDir_;  // made by us, removed by us
  bool folderReady_ = false;
};

// One worker session at a time, started through a CWorkerStarter. A running worker is killed at
// once when the tool is interrupted (KillOnInterrupt).
class CWorker {
 public:
  explicit CWorker(WorkerSetup setup) : starter_(std::move(setup)) {}
  ~CWorker();
  CWorker(const CWorker&) = delete;
  CWorker& operator=(const CWorker&) = delete;

  // Starts a worker; also after the previous one has ended.
  Status Start();
  bool Running() const { return session_ != nullptr && session_->Running(); }
  Status Stop();

  Session& GetSession() { return *session_; }
  ImageSession& Images() { return *images_; }

  // Loads `source` under the image `id`, starting a worker when none runs; on failure `error`
  // says why as the user reads it. `kept`: as CWorkerStarter::Load.
  Result<LoadedImage> Load(uint64_t id, const CInput& source, TargetSize target, std::string& error,
                           bool kept = false);

  // A failure as the user reads it: the worker's own reason where it gave one.
  std::string Explain(const Status& failure) const { return starter_.Explain(failure); }

  // What the running worker logged about itself as it started.
  std::optional<WorkerSelfReport> SelfReport() const { return log_->ReadSelfReport(); }

 private:
  void EndSession();

  CWorkerStarter starter_;  // first: its folder goes after the worker
  std::unique_ptr<Session> session_;
  std::unique_ptr<ImageSession> images_;
  std::unique_ptr<WorkerLogReader> log_;
  CProcessWatch watch_;  // of the running worker, for the interrupt handler
};

}  // namespace tessel::cli
