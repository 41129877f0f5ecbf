#include "client/cli/worker.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "client/cli/interrupt.h"
#include "client/cli/size_plan.h"
#include "platform/process.h"
#include "wire/environment.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

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

CWorkerStarter::~CWorkerStarter() {
  if (!privateDir_.empty()) {
    std::error_code ignored;
    fs::remove_all(privateDir_, ignored);
  }
}

Status CWorkerStarter::PrepareLogFolder() {
  if (!setup_.logDir.empty()) {
    std::error_code error;
    fs::create_directories(setup_.logDir, error);
    const fs::path absolute = error ? fs::path() : fs::absolute(setup_.logDir, error);
    if (error || !fs::is_directory(absolute)) {
      return Status(ErrorKind::kBadInput, "cannot use " + setup_.logDir + " as the log folder" +
                                              (error ? ": " + error.message() : std::string()));
    }
    setup_.logDir = absolute.string();
    return Status();
  }
  std::string pattern = TempFolder() + "tessel-logs-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return Status(ErrorKind::kSystem,
                  "cannot make a temporary log folder in " + TempFolder() + ": " +
                      std::error_code(errno, std::generic_category()).message());
  }
  privateDir_ = setup_.logDir = pattern;
  return Status();
}

std::string CWorkerStarter::LogDir() const {
  std::lock_guard lock(mutex_);
  return setup_.logDir;
}

Status CWorkerStarter::Start(Session& session) {
  std::string logDir;
  {
    std::lock_guard lock(mutex_);
    if (!unconfinable_.Ok()) return unconfinable_;
    if (!folderReady_) {
      if (Status prepared = PrepareLogFolder(); !prepared) return prepared;
      folderReady_ = true;
    }
    logDir = setup_.logDir;
  }
  SessionOptions options;
  options.workerPath = setup_.workerPath;
  options.confinement = setup_.confinement;
  options.readablePaths = setup_.readable;
  // The reply carries the pixels and their description. The worker holds an image's pixels
  // twice while it hands them over (its raster and the region), so a larger limit needs room.
  const uint64_t region = setup_.pixelMemory + kReplyOverhead;
  options.maxRegionSize = static_cast<uint32_t>(std::min<uint64_t>(region, UINT32_MAX));
  options.addressSpaceLimit =
      std::max<uint64_t>(kDefaultWorkerAddressSpace, 2 * region + (uint64_t{512} << 20));
  options.environment.emplace_back(kLogDirectoryVariable, logDir + "/");
  Status started = session.Start(options);
  if (!started && setup_.confinement == ConfinementMode::kRequire) {
    if (const std::string layer = MissingLayer(session, started); !layer.empty()) {
      started =
          Status(started.Kind(), started.Message() + " (this system does not offer the " + layer +
                                     " layer; --sandbox best-effort starts the worker without it)");
      std::lock_guard lock(mutex_);
      unconfinable_ = started;
    }
  }
  if (started) started = session.SetLoggingMode(true, logDir);
  return started;
}

Result<LoadedImage> CWorkerStarter::Load(ImageSession& images, uint64_t id, const CInput& source,
                                         TargetSize target, std::string& error, bool kept,
                                         PixelStorage storage) const {
  Result<LoadedImage> image =
      source.byPath ? images.Load(id, source.name, target, storage)
                    : images.Load(id, kept ? std::span<const std::byte>() : source.bytes,
                                  source.name, target, storage);
  if (!image) error = Explain(image.Error());
  return image;
}

std::string CWorkerStarter::Explain(const Status& failure) const {
  if (failure.Kind() == ErrorKind::kRefused &&
      failure.Message().find("without logging a reason") != std::string::npos) {
    return "the worker refused it without logging a reason";
  }
  // The worker made the pixels but could not hand them over: the region they need was refused.
  if (failure.Kind() == ErrorKind::kBadOutput &&
      failure.Message().find("cannot be handed over") != std::string::npos) {
    return "its pixels need more than the limit of " + FormatBytes(setup_.pixelMemory) +
           " (--max-memory)";
  }
  return failure.Message();
}

void CWorker::EndSession() {
  KillOnInterrupt(nullptr);
  watch_.Close();
  images_.reset();
  session_.reset();
}

CWorker::~CWorker() {
  // The worker writes until it ends; only then can its folder go.
  EndSession();
}

Status CWorker::Start() {
  EndSession();
  session_ = std::make_unique<Session>();
  if (Status started = starter_.Start(*session_); !started) {
    session_.reset();
    return started;
  }
  // Without a watch a signal still ends the tool, after the command in progress.
  if (watch_.Open(session_->WorkerPid())) KillOnInterrupt(&watch_);
  images_ = std::make_unique<ImageSession>(*session_);
  log_ = std::make_unique<WorkerLogReader>(starter_.LogDir(), session_->Id());
  return Status();
}

Status CWorker::Stop() {
  if (!Running()) return Status();
  return session_->Stop();
}

Result<LoadedImage> CWorker::Load(uint64_t id, const CInput& source, TargetSize target,
                                  std::string& error, bool kept) {
  if (!Running()) {
    if (Status started = Start(); !started) {
      error = "cannot start a worker: " + started.Message();
      return started;
    }
  }
  return starter_.Load(*images_, id, source, target, error, kept);
}

}  // namespace tessel::cli
