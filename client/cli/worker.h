#pragma once

#include <memory>
#include <string>

#include "client/image_client.h"
#include "client/session.h"
#include "client/status.h"
#include "client/worker_log.h"

namespace tessel::cli {

// A worker session whose log goes to a folder we read, so that a refused command can be
// explained with the worker's own words. The folder is the user's --log-dir, else a private
// temporary folder that is removed once the worker has ended.
class CWorker {
 public:
  explicit CWorker(std::string logDir) : logDir_(std::move(logDir)) {}
  ~CWorker();
  CWorker(const CWorker&) = delete;
  CWorker& operator=(const CWorker&) = delete;

  // Starts a worker; also after the previous one has ended.
  Status Start();
  bool Running() const { return session_ != nullptr && session_->Running(); }
  Status Stop();

  Session& GetSession() { return *session_; }
  ImageSession& Images() { return *images_; }

  // Why the last command on the session failed: the worker's last logged error since Mark(),
  // or, for a session that has ended, how it ended. `name` is what the worker was given.
  void Mark() { log_->Mark(); }
  std::string Explain(const Status& failure, const std::string& name) const;

 private:
  Status PrepareLogFolder();

  std::string logDir_;
  std::string privateDir_;  // made by us, removed by us
  bool folderReady_ = false;
  std::unique_ptr<Session> session_;
  std::unique_ptr<ImageSession> images_;
  std::unique_ptr<WorkerLogReader> log_;
};

}  // namespace tessel::cli
