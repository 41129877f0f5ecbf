#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "channel/block_channel.h"
#include "channel/shared_memory.h"
#include "platform/capabilities.h"
#include "platform/shared_memory_region.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"
#include "wire/block_set.h"
#include "wire/control_block.h"
#include "wire/object_names.h"

namespace tessel {
namespace {

// The block as the other side sees it: every field at its byte offset, little-endian.
TEST(ControlBlockTest, FieldsLandAtTheirWireOffsets) {
  std::vector<unsigned char> bytes(kInlineDataOffset + 1);
  CControlBlockView block(bytes.data());
  block.SetCommand(0x04030201);
  block.SetStatus(-3);
  block.SetResult(0x11);
  block.SetEvent(kEventBufferRequest);
  block.SetDataInExtended(0x22);
  block.SetDataOffset(0x36353433);
  block.SetDataSize(0x46454443);
  block.SetRequiredSize(0x56555453);
  block.SetParameter(0x6867666564636261);
  block.SetWorkingSetSize(0x7877767574737271);
  const std::vector<unsigned char> expected = {
      0x01, 0x02, 0x03, 0x04, 0xFD, 0xFF, 0xFF, 0xFF, 0x11, 0xFE, 0xFF, 0xFF, 0xFF, 0x22, 0x33,
      0x34, 0x35, 0x36, 0x43, 0x44, 0x45, 0x46, 0x53, 0x54, 0x55, 0x56, 0x61, 0x62, 0x63, 0x64,
      0x65, 0x66, 0x67, 0x68, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x00};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(block.InlineData(), bytes.data() + 42);
  EXPECT_EQ(block.Event(), -2);
  EXPECT_EQ(block.Parameter(), 0x6867666564636261u);
}

// `words`, then `tail` bytes, in a heap block of exactly that size for the sanitizers to watch.
bool Parse(std::vector<uint32_t> words, size_t tail, uint32_t dataSize, uint64_t& claimed) {
  std::vector<unsigned char> set(4 * words.size() + tail, 0x77);
  if (!words.empty()) std::memcpy(set.data(), words.data(), 4 * words.size());
  CBlockSetView view;
  return ParseBlockSet(set.data(), dataSize, view, claimed);
}

TEST(BlockSetTest, SizeTableMustAddUpToTheDataSizeWithoutReadingPastIt) {
  uint64_t claimed = 0;
  EXPECT_TRUE(Parse({1, 10}, 10, 18, claimed));
  EXPECT_FALSE(Parse({1, 10}, 11, 19, claimed));
  EXPECT_EQ(claimed, 18u);
  EXPECT_FALSE(Parse({5, 1}, 0, 8, claimed));  // the table runs past the data
  EXPECT_EQ(claimed, 24u);
  EXPECT_FALSE(Parse({0xFFFFFFFF}, 0, 4, claimed));
  EXPECT_FALSE(Parse({}, 3, 3, claimed));
  // Sizes whose 32-bit sum wraps around to the data size.
  EXPECT_FALSE(Parse({2, 0xFFFFFFFF, 13}, 12, 24, claimed));
  EXPECT_EQ(claimed, 12 + 0xFFFFFFFFull + 13);
  EXPECT_TRUE(Parse({0}, 0, 4, claimed));
}

// Written sets: the exact layout, read back in place, nothing written when they do not fit.
TEST(BlockSetTest, WrittenSetsReadBackAndNeverExceedTheCapacity) {
  const unsigned char bytes[] = {7, 8, 9};
  const Block blocks[] = {Block(bytes), Block(), Block(bytes, 1)};
  std::vector<unsigned char> out(21, 0xEE);
  EXPECT_FALSE(WriteBlockSet(out.data(), 19, blocks));
  EXPECT_EQ(out, std::vector<unsigned char>(21, 0xEE));
  ASSERT_TRUE(WriteBlockSet(out.data(), 20, blocks));
  EXPECT_EQ(out, (std::vector<unsigned char>{3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 7, 8,
                                             9, 7, 0xEE}));
  CBlockSetView view;
  uint64_t claimed = 0;
  ASSERT_TRUE(ParseBlockSet(out.data(), 20, view, claimed));
  EXPECT_EQ(view.At(0).data(), out.data() + 16);
  EXPECT_EQ(view.At(2).data(), out.data() + 19);
  EXPECT_EQ(view.At(2).size(), 1u);
  EXPECT_TRUE(view.At(3).empty());  // past the count
}

// The channel over a control block on the heap, so that the sanitizers see every byte past it.
class BlockChannelTest : public ::testing::Test, public IEventRaiser {
 protected:
  BlockChannelTest() {
    extended_.SetSession(id_);
    channel_.Attach(block_);
  }
  ~BlockChannelTest() override { CSharedMemoryRegion::Unlink(name_); }
  bool RaiseEvent(int32_t event) override { return ++raised_, onEvent_ && onEvent_(event); }

  bool CreateRegion(size_t size) {
    region_.Close();
    CSharedMemoryRegion::Unlink(name_);
    return region_.Create(name_, size);
  }
  unsigned char* Region() const { return static_cast<unsigned char*>(region_.Data()); }
  // Writes a block set of one block of `size` bytes at `at`; returns its total size.
  static uint32_t PutSet(unsigned char* at, uint32_t size) {
    const uint32_t header[2] = {1, size};
    std::memcpy(at, header, sizeof header);
    return 8 + size;
  }
  const CBlockSetView* Prepare(uint8_t inExtended, uint32_t offset, uint32_t size) {
    block_.SetDataInExtended(inExtended);
    block_.SetDataOffset(offset);
    block_.SetDataSize(size);
    return channel_.PrepareInput();
  }

  std::vector<unsigned char> main_ = std::vector<unsigned char>(kMainMappingSize);
  CControlBlockView block_{main_.data()};
  // A logger of the test's own, whose lines the test reads back.
  size_t Count(const std::string& line) const { return test::CountInLogs(logs_ / "", line); }
  CTempFolder logs_;
  CLogger logger_{logs_.LogOptions()};
  CContextLog log_{true, logger_};
  CExtendedRegion extended_{log_};
  std::function<bool(int32_t)> onEvent_;
  int raised_ = 0;
  CBlockChannel channel_{extended_, log_, *this};
  std::string id_ = "ha_channel_" + std::to_string(::getpid());
  std::string name_ = ObjectName(kExtendedRegionSuffix, id_);
  CSharedMemoryRegion region_;
};

TEST_F(BlockChannelTest, InputMustLieInsideTheAreaThatHoldsIt) {
  EXPECT_EQ(Prepare(0, 0, 0), nullptr);
  EXPECT_FALSE(extended_.Installed());  // no input, no region opened

  ASSERT_TRUE(CreateRegion(4096));
  EXPECT_EQ(Prepare(0, kInlineDataSize - 3, 8), nullptr);
  EXPECT_EQ(Count("Data size is invalid (3 != 8)."), 1u);
  EXPECT_EQ(Prepare(0, 0xFFFFFFFF, 8), nullptr);
  EXPECT_EQ(Count("Data size is invalid (0 != 8)."), 1u);
  const uint32_t size = PutSet(block_.InlineData() + kInlineDataSize - 10, 2);
  const CBlockSetView* input = Prepare(0, kInlineDataSize - 10, size);
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->At(0).data(), block_.InlineData() + kInlineDataSize - 2);

  // The extended region's real size bounds its input, whatever the client says.
  PutSet(Region(), 4089);
  EXPECT_EQ(Prepare(1, 0, 4097), nullptr);
  EXPECT_EQ(Count("Data size is invalid (4096 != 4097)."), 1u);
  input = Prepare(1, 0, PutSet(Region(), 4088));
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->At(0).size(), 4088u);
}

TEST_F(BlockChannelTest, RegionThatCannotBeReopenedStillLetsInlineInputThrough) {
  EXPECT_EQ(Prepare(0, 0, PutSet(block_.InlineData(), 0)), nullptr);
  EXPECT_EQ(Count("Cannot open " + name_), 1u);
  EXPECT_EQ(Count("Cannot open buffer"), 1u);
  EXPECT_NE(channel_.PrepareInput(), nullptr);  // installed without a view: not retried
  EXPECT_EQ(Prepare(1, 0, 8), nullptr);         // input in the region looks for it again
  EXPECT_EQ(Count("Cannot open buffer"), 2u);
  EXPECT_EQ(Count("Cannot read data from the buffer. Buffer is not open."), 2u);
  ASSERT_TRUE(CreateRegion(64));
  EXPECT_NE(Prepare(1, 0, PutSet(Region(), 0)), nullptr);
}

// Whether the mapping that starts at `view` carries the flag MADV_DONTDUMP gives it: a mapping
// made anew at the same address does not.
bool Marked(const void* view) {
  char start[32];
  std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(view));
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    const std::string first = line.substr(0, line.find(' '));
    if (first.empty() || first.back() != ':') {  // a mapping's first line, not one of its fields
      inside = line.rfind(start, 0) == 0;
    } else if (inside && first == "VmFlags:") {
      return line.find(" dd") != std::string::npos;
    }
  }
  return false;
}

// The client resizes the region in place: the worker's view, and the pages it has faulted in,
// stay as long as the object and its size do, and only a new size or object is mapped anew.
TEST_F(BlockChannelTest, TheViewIsKeptWhileTheObjectAndItsSizeStay) {
  ASSERT_TRUE(CreateRegion(8192));
  const std::vector<unsigned char> bytes(5000, 0x3C);
  const Block output[] = {Block(bytes)};
  onEvent_ = [&](int32_t) { return true; };  // large enough already
  ASSERT_TRUE(Prepare(1, 0, PutSet(Region(), 4)) != nullptr);
  unsigned char* view = extended_.Region()->View();
  ASSERT_EQ(::madvise(view, 8192, MADV_DONTDUMP), 0);
  ASSERT_TRUE(Marked(view));
  ASSERT_TRUE(channel_.WriteOutput(kInlineDataSize, output));
  EXPECT_EQ(extended_.Region()->View(), view);
  EXPECT_TRUE(Marked(view));
  EXPECT_EQ(Region()[4999 + 8], 0x3C);
  ASSERT_TRUE(Prepare(1, 0, PutSet(Region(), 4)) != nullptr);
  EXPECT_TRUE(Marked(extended_.Region()->View()));

  onEvent_ = [&](int32_t) { return region_.Resize(16384); };
  ASSERT_TRUE(channel_.WriteOutput(kInlineDataSize, output));
  EXPECT_EQ(extended_.Region()->Size(), 16384u);
  EXPECT_FALSE(Marked(extended_.Region()->View()));
  // Resized behind the worker's back between commands: the next input is checked against the
  // object's real size, not the old view's.
  ASSERT_TRUE(region_.Resize(4096));
  EXPECT_EQ(Prepare(1, 0, 4097), nullptr);
  EXPECT_EQ(extended_.Region()->Size(), 4096u);
}

TEST_F(BlockChannelTest, OutputGoesInlineUpToTheRoomThenThroughBufferRequest) {
  constexpr uint32_t kOffset = 16;
  const uint32_t total = kInlineDataSize - kOffset + 1;
  const std::vector<unsigned char> pixels(total - 8, 0x5A);
  const Block fits[] = {Block(pixels.data(), pixels.size() - 1)};
  const Block tooLarge[] = {Block(pixels)};
  ASSERT_TRUE(CreateRegion(64));
  ASSERT_TRUE(extended_.Open());
  ASSERT_TRUE(channel_.WriteOutput(kOffset, fits));
  EXPECT_EQ(raised_, 0);
  EXPECT_EQ(block_.DataInExtended(), 0);
  EXPECT_EQ(block_.DataOffset(), kOffset);
  EXPECT_EQ(block_.DataSize(), total - 1);
  EXPECT_EQ(block_.InlineData()[kInlineDataSize - 1], 0x5A);

  onEvent_ = [&](int32_t event) {
    EXPECT_EQ(event, kEventBufferRequest);
    EXPECT_EQ(block_.RequiredSize(), total);
    EXPECT_TRUE(extended_.Installed());  // kept, and looked at again after the event
    return CreateRegion(block_.RequiredSize());
  };
  ASSERT_TRUE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_EQ(raised_, 1);
  EXPECT_EQ(block_.DataInExtended(), 1);
  EXPECT_EQ(block_.DataOffset(), kOffset);
  EXPECT_EQ(block_.DataSize(), total);
  EXPECT_EQ(Region()[total - 1], 0x5A);

  // A region made smaller than asked is not written past; a client that is gone gets nothing.
  onEvent_ = [&](int32_t) { return CreateRegion(total - 1); };
  EXPECT_FALSE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_EQ(Count("Buffer size " + std::to_string(total - 1)), 1u);
  onEvent_ = nullptr;
  EXPECT_FALSE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_EQ(raised_, 3);
}

TEST(SharedMemoryTest, OpenTellsMissingAndReadOnlyObjectsApart) {
  CTempFolder logs;
  CLogger logger(logs.LogOptions());
  CSharedMemory memory(logger);
  const std::string shm = "ha_memory_" + std::to_string(::getpid());
  EXPECT_FALSE(memory.Open(shm));
  EXPECT_EQ(test::CountInLogs(logs / "", "Cannot open shared memory, " + shm +
                                             ", 2, No such file or directory, 0"),
            1u);
  EXPECT_EQ(test::CountInLogs(logs / "", "File is readonly"), 0u);
  // Readable only; the owner's override capability would hide that, so a child lowers it.
  CSharedMemoryRegion region;
  ASSERT_TRUE(region.Create(shm, 4096));
  ASSERT_EQ(::chmod(("/dev/shm/" + shm).c_str(), 0400), 0);
  test::RunInChild([&] {
    LowerCapability(CAP_DAC_OVERRIDE);
    EXPECT_FALSE(memory.Open(shm));
  });
  EXPECT_EQ(test::CountInLogs(logs / "", "File is readonly"), 1u);
  CSharedMemoryRegion::Unlink(shm);
}

}  // namespace
}  // namespace tessel
