#pragma once

#include <cstdint>
#include <optional>

#include "channel/extended_region.h"
#include "logging/context_log.h"
#include "wire/block_set.h"
#include "wire/control_block.h"

namespace tessel {

// Raises an event to the client in the middle of a command and waits for its EventDone.
// The channel asks; the service, which owns the loops, answers.
class IEventRaiser {
 public:
  // False when the client cannot answer any more (its process has gone).
  virtual bool RaiseEvent(int32_t event) = 0;

 protected:
  ~IEventRaiser() = default;
};

// Where a command puts its output block set.
class IOutputWriter {
 public:
  // Writes the blocks as one block set at `offset` of the inline area, or, when they do not
  // fit there, asks the client for a larger extended region and writes them at its start.
  // The blocks must not lie in the session's regions: the inline area is overwritten and the
  // extended region is replaced on the way.
  virtual bool WriteOutput(uint32_t offset, BlockList blocks) = 0;

 protected:
  ~IOutputWriter() = default;
};

// Input and output block sets of the running command. The control block must lie at the start
// of a mapping that holds the whole inline area (kMainMappingSize bytes).
class CBlockChannel final : public IOutputWriter {
 public:
  CBlockChannel(CExtendedRegion& extended, const CContextLog& log, IEventRaiser& raiser)
      : extended_(extended), log_(log), raiser_(raiser) {}
  CBlockChannel(const CBlockChannel&) = delete;
  CBlockChannel& operator=(const CBlockChannel&) = delete;

  void Attach(CControlBlockView block) { block_ = block; }
  void Detach() {
    block_ = CControlBlockView();
    input_.reset();
  }

  // Finds and checks the running command's input. Null when it has none or it is unusable
  // (logged). The blocks stay readable until the next command prepares its input, the
  // extended region is closed, or output goes to the extended region.
  const CBlockSetView* PrepareInput();
  const CBlockSetView* Input() const { return input_ ? &*input_ : nullptr; }

  bool WriteOutput(uint32_t offset, BlockList blocks) override;

 private:
  bool LocateInput(uint32_t dataSize, const unsigned char*& start);
  bool RequestLargerRegion(uint32_t total);

  CExtendedRegion& extended_;
  const CContextLog& log_;
  IEventRaiser& raiser_;
  CControlBlockView block_;
  std::optional<CBlockSetView> input_;
};

}  // namespace tessel
