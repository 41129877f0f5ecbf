#include "channel/block_channel.h"

#include <limits>

namespace tessel {
namespace {

// Bytes of the inline area from `offset` on.
uint64_t InlineRoom(uint32_t offset) {
  return offset <= kInlineDataSize ? kInlineDataSize - offset : 0;
}

}  // namespace

const CBlockSetView* CBlockChannel::PrepareInput() {
  input_.reset();
  const uint32_t dataSize = block_.DataSize();
  log_.Verbose(Debug, "Input size %d", {LogArg::UInt32(dataSize)});
  const unsigned char* start = nullptr;
  if (dataSize != 0 && LocateInput(dataSize, start)) {
    CBlockSetView view;
    uint64_t claimed = 0;
    if (ParseBlockSet(start, dataSize, view, claimed)) {
      input_ = std::move(view);
    } else {
      log_.Write(Error, "Data size is invalid (%d != %d).",
                 {LogArg::UInt64(claimed), LogArg::UInt32(dataSize)});
    }
  }
  log_.Verbose(Debug, "Prepare result complete");
  return Input();
}

// Finds where the input starts and makes sure that all `dataSize` bytes of it lie inside the
// area that holds it: the client names the place, the mappings set the bounds.
bool CBlockChannel::LocateInput(uint32_t dataSize, const unsigned char*& start) {
  const bool inExtended = block_.DataInExtended() != 0;
  // The client may have resized the region since the last command: looked at again for every
  // input that lies there.
  if ((inExtended || !extended_.Installed()) && !extended_.Open()) {
    log_.Write(Error, "Cannot read data from the buffer. Buffer is not open.");
    log_.Write(Error, "Cannot open buffer");
    return false;
  }
  uint64_t room;
  if (inExtended) {
    const CSharedMemory* region = extended_.Region();
    if (!region->IsMapped()) {
      log_.Write(Error, "Cannot open buffer");
      return false;
    }
    start = region->View();
    room = region->Size();
  } else {
    const uint32_t offset = block_.DataOffset();
    room = InlineRoom(offset);
    start = block_.InlineData() + (room != 0 ? offset : 0);
  }
  if (dataSize > room) {
    log_.Write(Error, "Data size is invalid (%d != %d).",
               {LogArg::UInt64(room), LogArg::UInt32(dataSize)});
    return false;
  }
  return true;
}

bool CBlockChannel::WriteOutput(uint32_t offset, BlockList blocks) {
  // The extended region must be installed even for output that goes inline.
  if (!extended_.Installed()) {
    log_.Write(Error, "Cannot write data to the buffer. Buffer is not open.");
    return false;
  }
  const uint64_t total = BlockSetSize(blocks);
  const uint64_t room = InlineRoom(offset);
  bool inExtended = false;
  if (total <= room) {
    WriteBlockSet(block_.InlineData() + offset, room, blocks);
  } else {
    if (total > std::numeric_limits<uint32_t>::max()) {
      log_.Write(Error, "Cannot write data to the buffer. Buffer size %d is less than %d.",
                 {LogArg::UInt32(std::numeric_limits<uint32_t>::max()), LogArg::UInt64(total)});
      return false;
    }
    if (!RequestLargerRegion(static_cast<uint32_t>(total))) return false;
    // The client may have made the region smaller than asked: its real size is the limit.
    const CSharedMemory* region = extended_.Region();
    if (!WriteBlockSet(region->View(), region->Size(), blocks)) {
      log_.Write(Error, "Cannot write data to the buffer. Buffer size %d is less than %d.",
                 {LogArg::UInt64(region->Size()), LogArg::UInt64(total)});
      return false;
    }
    inExtended = true;
  }
  block_.SetDataSize(static_cast<uint32_t>(total));
  block_.SetDataOffset(offset);
  block_.SetDataInExtended(inExtended ? 1 : 0);
  log_.Verbose(Debug, "Output size %d", {LogArg::UInt64(total)});
  return true;
}

// Asked for every output that does not fit inline, also when the installed region would be
// large enough: the client decides where the output goes. The view is kept through the event
// and not touched until Open has looked at the object's size again.
bool CBlockChannel::RequestLargerRegion(uint32_t total) {
  block_.SetRequiredSize(total);
  if (!raiser_.RaiseEvent(kEventBufferRequest)) return false;
  return extended_.Open();
}

}  // namespace tessel
