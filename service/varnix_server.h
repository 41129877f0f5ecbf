#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "channel/block_channel.h"
#include "channel/extended_region.h"
#include "channel/parent_process.h"
#include "channel/shared_memory.h"
#include "image/image_side.h"
#include "logging/context_log.h"
#include "logging/debug_switch.h"
#include "platform/named_event.h"
#include "security/object_security.h"
#include "wire/control_block.h"

namespace tessel {

// The one service object: the session's shared objects, the request loops and the watch on
// the parent, with the image half behind IImageSide. Not copied; built on the main thread's
// stack and torn down in a fixed order.
class CVarnixServer final : private IEventRaiser {
 public:
  explicit CVarnixServer(std::unique_ptr<IImageSide> imageSide);
  ~CVarnixServer();
  CVarnixServer(const CVarnixServer&) = delete;
  CVarnixServer& operator=(const CVarnixServer&) = delete;

  // Opens the session, serves it until Stop or the parent's end, and logs the stop.
  void RunService(const std::string& sessionId);

 private:
  bool OpenSession(const std::string& sessionId);
  // Safe on a partly opened or closed session.
  void CloseSession();
  void ReportToken();
  void MainLoop();
  bool Dispatch(uint32_t command);
  bool SetLoggingMode();
  bool RaiseEvent(int32_t event) override;
  bool ParentGone();

  CDebugSwitch serviceDebug_;
  CContextLog log_;  // holds the log context
  CExtendedRegion extended_;
  std::unique_ptr<CSharedMemory> mainMapping_;
  CObjectSecurity objectSecurity_;
  CControlBlockView controlBlock_;
  CBlockChannel channel_;  // holds the prepared input
  std::string sessionId_;
  std::unique_ptr<CNamedEvent> serverEvent_;
  std::unique_ptr<CNamedEvent> clientEvent_;
  CParentProcess parent_;
  std::unique_ptr<IImageSide> imageSide_;
};

}  // namespace tessel
