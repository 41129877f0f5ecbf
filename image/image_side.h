#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/block_channel.h"
#include "wire/block_set.h"
#include "wire/control_block.h"

namespace tessel {

// What an image command gets from the host.
struct CImageCommand {
  uint32_t code;
  CControlBlockView controlBlock;
  const CBlockSetView* input;  // null when the command has no usable input
  IOutputWriter& output;
  const std::string& sessionId;
  const CContextLog& log;
};

// The image half of the service: runs every command code that the host does not handle itself.
class IImageSide {
 public:
  virtual ~IImageSide() = default;
  // The session this side will serve, told before the host opens it: what the first command
  // needs can be made ready meanwhile.
  virtual void PrepareSession(const std::string& sessionId) { (void)sessionId; }
  // The command's outcome; false for a code it does not know.
  virtual bool RunImageCommand(const CImageCommand& command) = 0;
};

using ImageSideFactory = std::function<std::unique_ptr<IImageSide>()>;

// The image side of a worker that has no image support: every command fails, leaving Result
// as the client set it.
class CNoImageSide final : public IImageSide {
 public:
  bool RunImageCommand(const CImageCommand&) override { return false; }
};

}  // namespace tessel
