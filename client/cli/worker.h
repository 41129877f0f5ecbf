#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/image_client.h"
#include "client/session.h"
#include "client/status.h"
#include "client/worker_log.h"

namespace tessel::cli {

// The layers a confined worker is held by, as the session names them.
inline constexpr const char* kConfinementLayers[] = {
    "no_new_privs", "capabilities", "environment", "resource limits", "Landlock", "seccomp"};

// A worker session whose log goes to a folder we read, so that a refused command can be
// explained with the worker's own words. The folder is the user's --log-dir, else a private
// temporary folder that is removed once the worker has ended.
class CWorker {
 public:
  // `readable`: the files the worker may read, as Load will name them.
  CWorker(std::string logDir, ConfinementMode confinement, std::vector<std::string> readable = {})
      : logDir_(std::move(logDir)), confinement_(confinement), readable_(std::move(readable)) {}
  ~CWorker();
  CWorker(const CWorker&) = delete;
  CWorker& operator=(const CWorker&) = delete;

  // Starts a worker; also after the previous one has ended. A worker that cannot be confined as
  // asked is not tried again: the system will not offer the missing layer a moment later.
  Status Start();
  bool Running() const { return session_ != nullptr && session_->Running(); }
  Status Stop();

  Session& GetSession() { return *session_; }
  ImageSession& Images() { return *images_; }

  // A failure as the user reads it: the worker's own reason where it gave one.
  std::string Explain(const Status& failure) const;

  // What the running worker logged about itself as it started.
  std::optional<WorkerSelfReport> SelfReport() const { return log_->ReadSelfReport(); }

 private:
  Status PrepareLogFolder();

  std::string logDir_;
  ConfinementMode confinement_;
  std::vector<std::string> readable_;
  Status unconfinable_;     // why a worker cannot be confined as asked; success until known
  std::string privateDir_;  // made by us, removed by us
  bool folderReady_ = false;
  std::unique_ptr<Session> session_;
  std::unique_ptr<ImageSession> images_;
  std::unique_ptr<WorkerLogReader> log_;
};

}  // namespace tessel::cli
