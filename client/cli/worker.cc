#include "client/cli/worker.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/process.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

// The worker's log folder, read at its start: its first records land there too.
constexpr const char kLogFolderVariable[] = "{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}";

// The layer that kept a worker from starting under ConfinementMode::kRequire: one the report
// shows missing, else one the session's message names. Empty for a failure of another kind.
std::string MissingLayer(const Session& session, const Status& failure) {
  for (const ConfinementLayer& layer : session.Confinement().layers) {
    if (!layer.inForce) return layer.name;
  }
  if (failure.Kind() == ErrorKind::kNotFound) return {};
  for (const char* layer : kConfinementLayers) {
    if (failure.Message().find(layer) != std::string::npos) return layer;
  }
  return {};
}

}  // namespace

CWorker::~CWorker() {
  // The worker writes until it ends; only then can its folder go.
  images_.reset();
  session_.reset();
  if (!privateDir_.empty()) {
    std::error_code ignored;
    fs::remove_all(privateDir_, ignored);
  }
}

Status CWorker::PrepareLogFolder() {
  if (!logDir_.empty()) {
    std::error_code error;
    fs::create_directories(logDir_, error);
    const fs::path absolute = error ? fs::path() : fs::absolute(logDir_, error);
    if (error || !fs::is_directory(absolute)) {
      return Status(ErrorKind::kBadInput,
                    "cannot use " + logDir_ + " as the log folder" +
                        (error ? ": " + error.message() : std::string()));
    }
    logDir_ = absolute.string();
    return Status();
  }
  std::string pattern = TempFolder() + "tessel-logs-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return Status(ErrorKind::kSystem,
                  "cannot make a temporary log folder in " + TempFolder() + ": " +
                      std::error_code(errno, std::generic_category()).message());
  }
  privateDir_ = logDir_ = pattern;
  return Status();
}

Status CWorker::Start() {
  if (!unconfinable_.Ok()) return unconfinable_;
  if (!folderReady_) {
    if (Status prepared = PrepareLogFolder(); !prepared) return prepared;
    folderReady_ = true;
  }
  images_.reset();
  session_ = std::make_unique<Session>();
  SessionOptions options;
  options.confinement = confinement_;
  options.readablePaths = readable_;
  options.environment.emplace_back(kLogFolderVariable, logDir_ + "/");
  Status started = session_->Start(options);
  if (!started && confinement_ == ConfinementMode::kRequire) {
    if (const std::string layer = MissingLayer(*session_, started); !layer.empty()) {
      unconfinable_ = started =
          Status(started.Kind(), started.Message() + " (this system does not offer the " + layer +
                                     " layer; --sandbox best-effort starts the worker without it)");
    }
  }
  if (started) started = session_->SetLoggingMode(true, logDir_);
  if (!started) {
    session_.reset();
    return started;
  }
  images_ = std::make_unique<ImageSession>(*session_);
  log_ = std::make_unique<WorkerLogReader>(logDir_, session_->Id());
  return Status();
}

Status CWorker::Stop() {
  if (!Running()) return Status();
  return session_->Stop();
}

std::string CWorker::Explain(const Status& failure) const {
  if (failure.Kind() == ErrorKind::kRefused &&
      failure.Message().find("without logging a reason") != std::string::npos) {
    return "the worker refused it without logging a reason";
  }
  return failure.Message();
}

}  // namespace tessel::cli
