#include "service/varnix_server.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "foundation/text.h"
#include "platform/capabilities.h"
#include "privileges/token_report.h"
#include "wire/object_names.h"
#include "wire/wide_text.h"

namespace tessel {
namespace {

constexpr std::chrono::milliseconds kWaitSlice(1024);
constexpr const char* kServiceDebugSwitch = "TESSEL_SERVICE";

bool Signalled(CNamedEvent& event) {
  switch (event.Wait(kWaitSlice)) {
    case CNamedEvent::WaitResult::Signalled:
      return true;
    case CNamedEvent::WaitResult::TimedOut:
      return false;
    case CNamedEvent::WaitResult::Failed:
      break;
  }
  // A wait that fails at once must not turn the loop into a busy one.
  std::this_thread::sleep_for(kWaitSlice);
  return false;
}

void AppendSeparator(std::string& path) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
}

}  // namespace

CVarnixServer::CVarnixServer(std::unique_ptr<IImageSide> imageSide)
    : serviceDebug_(kServiceDebugSwitch),
      log_(serviceDebug_.Enabled()),
      extended_(log_),
      objectSecurity_(LabelPolicy::NoExecuteUp),
      channel_(extended_, log_, *this),
      imageSide_(std::move(imageSide)) {}

CVarnixServer::~CVarnixServer() {
  // The image half first: it frees the codec library, drops the images and removes its
  // working folder while the session is still open.
  imageSide_.reset();
  parent_.Close();
  CloseSession();
  log_.SetContext({});
}

void CVarnixServer::RunService(const std::string& sessionId) {
  std::string context(1, '[');
  context.append(sessionId).append("] ");
  log_.SetContext(std::move(context));
  imageSide_->PrepareSession(sessionId);
  log_.Write(Plain, "Starting service.");
  if (!OpenSession(sessionId)) {
    log_.Write(Plain, "Invalid session identifier,");
  } else {
    log_.Write(Plain, "Service initialization completed.");
    ReportToken();
    MainLoop();
  }
  log_.Write(Plain, "Stopping service.");
}

bool CVarnixServer::OpenSession(const std::string& sessionId) {
  sessionId_ = sessionId;
  const std::string serverEventName = ObjectName(kServerEventSuffix, sessionId);
  const std::string clientEventName = ObjectName(kClientEventSuffix, sessionId);

  extended_.SetSession(sessionId);
  if (!extended_.Open()) {
    log_.Write(Error, "Cannot open extended shared memory region");
    CloseSession();
    return false;
  }
  // A command touches the control block and its few input and output pages; faulting the whole
  // mapping in would cost every start more than the command does.
  mainMapping_ = std::make_unique<CSharedMemory>(log_.Logger(), Prefault::kOnTouch);
  bool mainOpen = mainMapping_->Open(ObjectName(kMainMappingSuffix, sessionId));
  // The control block and the whole inline area must lie inside the mapping.
  if (mainOpen && mainMapping_->Size() < kMainMappingSize) {
    log_.Write(Error, "Buffer %s is too small, %d < %d.",
               {LogArg::String(mainMapping_->Name().c_str()), LogArg::UInt64(mainMapping_->Size()),
                LogArg::UInt64(kMainMappingSize)});
    mainOpen = false;
  }
  if (!mainOpen) {
    log_.Write(Error, "Cannot open buffer");
    CloseSession();
    return false;
  }
  controlBlock_ = CControlBlockView(mainMapping_->View());
  channel_.Attach(controlBlock_);

  serverEvent_ = std::make_unique<CNamedEvent>();
  clientEvent_ = std::make_unique<CNamedEvent>();
  if (!serverEvent_->Open(serverEventName) || !clientEvent_->Open(clientEventName)) {
    log_.Write(Error, "Cannot open event object");
    CloseSession();
    return false;
  }
  return true;
}

void CVarnixServer::CloseSession() {
  extended_.Close();
  channel_.Detach();
  mainMapping_.reset();
  controlBlock_ = CControlBlockView();
  serverEvent_.reset();
  clientEvent_.reset();
  sessionId_.clear();
}

void CVarnixServer::ReportToken() {
  const char* level = MandatoryLevelName(GetMandatoryLevel());
  log_.Write(Debug, "Mandatory level: %s", {LogArg::String(level)});
  const std::string privileges = JoinNames(ListCapabilityNames(PermittedCapabilities()));
  log_.Write(Debug, "Privileges: %s", {LogArg::String(privileges.c_str())});
}

bool CVarnixServer::ParentGone() {
  if (parent_.IsAlive()) return false;
  log_.Write(Error, "Parent process not active, stop service");
  return true;
}

void CVarnixServer::MainLoop() {
  for (;;) {
    // A failed wait counts as a time-out; the parent is checked after every slice.
    const bool signalled = Signalled(*serverEvent_);
    if (ParentGone()) return;
    if (!signalled) continue;
    const uint32_t command = controlBlock_.Command();
    bool stop = false;
    if (command == kCommandPing) {
      controlBlock_.SetResult(1);
    } else if (command == kCommandStop) {
      controlBlock_.SetResult(1);
      stop = true;
    } else if (Dispatch(command)) {
      controlBlock_.SetResult(1);
    }
    controlBlock_.SetCommand(kCommandNone);
    serverEvent_->Reset();
    clientEvent_->Set();
    if (stop) return;
  }
}

bool CVarnixServer::Dispatch(uint32_t command) {
  switch (command) {
    case kCommandCloseBuffer:
      log_.Write(Plain, "Closing buffer");
      extended_.Close();
      return true;
    case kCommandSetLoggingMode:
      log_.Write(Plain, "Setting logging mode");
      channel_.PrepareInput();
      return SetLoggingMode();
    case kCommandSetServiceParent:
      log_.Write(Plain, "Set service parent");
      return parent_.Open(static_cast<uint32_t>(controlBlock_.Parameter()));
    default: {
      const CBlockSetView* input = channel_.PrepareInput();
      return imageSide_->RunImageCommand(
          CImageCommand{command, controlBlock_, input, channel_, sessionId_, log_});
    }
  }
}

bool CVarnixServer::SetLoggingMode() {
  const CBlockSetView* input = channel_.Input();
  if (input == nullptr) {
    log_.Write(Plain, "Buffer access error.");
    return false;
  }
  log_.Write(Plain, "Input blocks %d", {LogArg::UInt32(input->Count())});
  if (input->Count() == 0) {
    log_.Write(Plain, "Buffer access error.");
    return false;
  }
  const Block folderBlock = input->At(0);
  log_.Write(Plain, "Block %d: %d", {LogArg::UInt32(0), LogArg::UInt64(folderBlock.size())});
  const bool on = controlBlock_.Parameter() != 0;
  std::u16string folder;
  if (!ReadWideText(folderBlock, folder)) {
    log_.Write(Plain, "Buffer access error.");
    return false;
  }

  CLogger& logger = log_.Logger();
  logger.EnableThreadLogging(on);
  logger.SetDirectory(WideToUtf8(folder));
  // Programs the worker starts log under the worker's folder.
  std::string published = logger.CopyDirectory();
  AppendSeparator(published);
  published.append("KDZ");
  AppendSeparator(published);
  if (::setenv(kLogDirectoryVariable, published.c_str(), 1) != 0) {
    log_.Write(Error, "Cannot initialize environment");
    return false;
  }
  return true;
}

bool CVarnixServer::RaiseEvent(int32_t event) {
  log_.Verbose(Plain, "Event %d.", {LogArg::Int32(event)});
  controlBlock_.SetEvent(event);
  for (;;) {
    serverEvent_->Reset();
    clientEvent_->Set();
    // Here the parent is checked before each wait.
    do {
      if (ParentGone()) return false;
    } while (!Signalled(*serverEvent_));
    const uint32_t command = controlBlock_.Command();
    if (command == kCommandEventDone) break;
    // Ping and Stop are not special here: they fail as unknown codes.
    controlBlock_.SetResult(Dispatch(command) ? 1 : 0);
  }
  const int32_t reply = controlBlock_.Status();
  log_.Verbose(Plain, "Event %d processing completed with code %d",
               {LogArg::Int32(event), LogArg::Int32(reply)});
  return true;
}

}  // namespace tessel
