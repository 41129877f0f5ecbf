// Drives a command's input preparation with every field of the control block, the inline bytes
// and the extended region's real size taken from the input, then writes the parsed blocks back
// through the output path with a client that recreates the region at an input-chosen size.
// The control block and inline area sit in an exact-size heap block, so a read past the inline
// area is caught; every view handed out is checked against the bounds it must keep.
//
// Input: DataInExtended (1), DataOffset (4), DataSize (4), extended region size (2, 0 = none),
// output offset (4), size of the region the client makes on BufferRequest (2), then the bytes
// placed at DataOffset inline and at the start of the extended region.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channel/block_channel.h"
#include "platform/shared_memory_region.h"
#include "wire/object_names.h"

namespace {

using namespace tessel;

class CReader {
 public:
  CReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Take(int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(Byte()) << (8 * i);
    return value;
  }
  const uint8_t* Rest(size_t& size) const {
    size = size_ - at_;
    return data_ + at_;
  }

 private:
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "prepare_input fuzz: %s\n", what);
  std::abort();
}

struct CFixture {
  CFixture() : main(std::make_unique<unsigned char[]>(kMainMappingSize)), log(true) {
    std::memset(main.get(), 0, kMainMappingSize);
    sessionId = "ha_fuzz_";
    sessionId.append(std::to_string(::getpid()));
    name = ObjectName(kExtendedRegionSuffix, sessionId);
    // Dropping every record keeps the log quiet without skipping the code that formats them.
    CLogger::SetThreadFlags(CLogger::ThreadFlags() | CLogger::kThreadLoggingOff);
  }
  ~CFixture() { CSharedMemoryRegion::Unlink(name); }
  static CFixture& Instance() {
    static CFixture fixture;
    return fixture;
  }
  // Replaces the client's extended region; size 0 leaves none.
  bool Recreate(size_t size) {
    region.Close();
    CSharedMemoryRegion::Unlink(name);
    return size == 0 || region.Create(name, size);
  }

  std::unique_ptr<unsigned char[]> main;
  CContextLog log;
  std::string sessionId;
  std::string name;
  CSharedMemoryRegion region;
  // Ranges of the main block written by the last run.
  std::vector<std::pair<size_t, size_t>> dirty;
};

class CClient final : public IEventRaiser {
 public:
  CClient(CFixture& fixture, size_t size) : fixture_(fixture), size_(size) {}
  bool RaiseEvent(int32_t) override { return fixture_.Recreate(size_) && size_ != 0; }

 private:
  CFixture& fixture_;
  size_t size_;
};

void CheckInside(const unsigned char* first, size_t size, const unsigned char* begin, size_t length,
                 const char* what) {
  if (first < begin || size > length || first - begin > static_cast<ptrdiff_t>(length - size))
    Fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFixture& fixture = CFixture::Instance();
  CReader reader(data, size);
  const uint8_t inExtended = static_cast<uint8_t>(reader.Take(1));
  const uint32_t dataOffset = reader.Take(4);
  const uint32_t dataSize = reader.Take(4);
  const size_t regionSize = reader.Take(2);
  const uint32_t outputOffset = reader.Take(4);
  const size_t answerSize = reader.Take(2);
  size_t payloadSize = 0;
  const uint8_t* payload = reader.Rest(payloadSize);

  // Only the bytes the last run wrote are cleared, so every run starts from zeros.
  unsigned char* const main = fixture.main.get();
  for (const auto& [from, to] : fixture.dirty) std::fill(main + from, main + to, 0);
  fixture.dirty.assign(1, {0, kInlineDataOffset});
  CControlBlockView block(main);
  unsigned char* const inlineData = block.InlineData();
  if (dataOffset < kInlineDataSize) {
    const size_t placed = std::min<size_t>(payloadSize, kInlineDataSize - dataOffset);
    if (placed != 0) std::memcpy(inlineData + dataOffset, payload, placed);
    fixture.dirty.emplace_back(kInlineDataOffset + dataOffset,
                               kInlineDataOffset + dataOffset + placed);
  }
  if (!fixture.Recreate(regionSize)) Fail("cannot create the extended region");
  if (regionSize != 0) {
    const size_t placed = std::min(payloadSize, regionSize);
    if (placed != 0) std::memcpy(fixture.region.Data(), payload, placed);
  }
  block.SetDataInExtended(inExtended);
  block.SetDataOffset(dataOffset);
  block.SetDataSize(dataSize);

  CExtendedRegion extended(fixture.log);
  extended.SetSession(fixture.sessionId);
  CClient client(fixture, answerSize);
  CBlockChannel channel(extended, fixture.log, client);
  channel.Attach(block);

  const CBlockSetView* input = channel.PrepareInput();
  std::vector<std::vector<unsigned char>> copies;
  if (input != nullptr) {
    if (input->TotalSize() != dataSize) Fail("view size differs from DataSize");
    const CSharedMemory* region = extended.Region();
    if (inExtended != 0) {
      CheckInside(input->Start(), dataSize, region->View(), region->Size(), "outside region");
    } else {
      CheckInside(input->Start(), dataSize, inlineData, kInlineDataSize, "outside inline area");
    }
    const unsigned char* blocksStart = input->Start() + 4 + 4 * size_t{input->Count()};
    for (uint32_t i = 0; i < input->Count(); ++i) {
      const Block piece = input->At(i);
      CheckInside(piece.data(), piece.size(), blocksStart,
                  static_cast<size_t>(input->Start() + dataSize - blocksStart),
                  "block outside set");
      copies.emplace_back(piece.begin(), piece.end());
    }
  }

  std::vector<Block> blocks(copies.begin(), copies.end());
  if (channel.WriteOutput(outputOffset, blocks)) {
    const CSharedMemory* region = extended.Region();
    if (block.DataInExtended() != 0) {
      if (region == nullptr || block.DataSize() > region->Size()) Fail("output past region");
    } else {
      const uint64_t end = uint64_t{block.DataOffset()} + block.DataSize();
      if (end > kInlineDataSize) Fail("output past inline area");
      fixture.dirty.emplace_back(kInlineDataOffset + block.DataOffset(), kInlineDataOffset + end);
    }
  }
  return 0;
}
