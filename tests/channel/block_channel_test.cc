#include "channel/block_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

#include "channel/object_names.h"
#include "log_capture_support.h"
#include "platform/shared_memory_region.h"

namespace tessel {
namespace {

class CFakeRaiser final : public IEventRaiser {
 public:
  std::function<bool(int32_t)> onEvent;
  int raised = 0;
  bool RaiseEvent(int32_t event) override {
    ++raised;
    return onEvent && onEvent(event);
  }
};

// The channel over a control block on the heap (so that the sanitizers see every byte past it)
// and a real extended region under a private session id.
class BlockChannelTest : public ::testing::Test {
 protected:
  BlockChannelTest()
      : main_(kMainMappingSize),
        block_(main_.data()),
        log_(true, capture_.Logger()),
        extended_(log_),
        channel_(extended_, log_, raiser_) {
    std::string id = "ha_channel_";
    id.append(std::to_string(::getpid()));
    extended_.SetSession(id);
    name_ = ObjectName(kExtendedRegionSuffix, id);
    channel_.Attach(block_);
  }
  ~BlockChannelTest() override { CSharedMemoryRegion::Unlink(name_); }

  bool CreateRegion(size_t size) {
    region_.Close();
    CSharedMemoryRegion::Unlink(name_);
    return region_.Create(name_, size);
  }
  // A block set of one block of `size` bytes at `at`; returns its total size.
  static uint32_t PutSet(unsigned char* at, uint32_t size) {
    const uint32_t header[2] = {1, size};
    std::memcpy(at, header, sizeof header);
    return 8 + size;
  }
  void Input(uint8_t inExtended, uint32_t offset, uint32_t size) {
    block_.SetDataInExtended(inExtended);
    block_.SetDataOffset(offset);
    block_.SetDataSize(size);
  }

  std::vector<unsigned char> main_;
  CControlBlockView block_;
  test::CLogCapture capture_;
  CContextLog log_;
  CExtendedRegion extended_;
  CFakeRaiser raiser_;
  CBlockChannel channel_;
  std::string name_;
  CSharedMemoryRegion region_;
};

TEST_F(BlockChannelTest, InputMustLieInsideTheAreaThatHoldsIt) {
  Input(0, 0, 0);
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_FALSE(extended_.Installed());  // no input, no region opened
  EXPECT_TRUE(capture_.Has("Input size 0"));
  EXPECT_TRUE(capture_.Has("Prepare result complete"));

  ASSERT_TRUE(CreateRegion(4096));
  Input(0, kInlineDataSize - 3, 8);
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_TRUE(capture_.Has("Data size is invalid (3 != 8)."));
  Input(0, 0xFFFFFFFF, 8);
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_TRUE(capture_.Has("Data size is invalid (0 != 8)."));

  Input(0, kInlineDataSize - 10, PutSet(block_.InlineData() + kInlineDataSize - 10, 2));
  const CBlockSetView* input = channel_.PrepareInput();
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->At(0).data(), block_.InlineData() + kInlineDataSize - 2);

  // The extended region's real size bounds its input, whatever the client says.
  Input(1, 0, 4097);
  PutSet(static_cast<unsigned char*>(region_.Data()), 4089);
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_TRUE(capture_.Has("Data size is invalid (4096 != 4097)."));
  Input(1, 0, PutSet(static_cast<unsigned char*>(region_.Data()), 4088));
  input = channel_.PrepareInput();
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->At(0).size(), 4088u);
}

TEST_F(BlockChannelTest, RegionThatCannotBeReopenedStillLetsInlineInputThrough) {
  Input(0, 0, PutSet(block_.InlineData(), 0));
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_TRUE(capture_.Has(std::string("Cannot open ").append(name_)));
  EXPECT_TRUE(capture_.Has("Cannot read data from the buffer. Buffer is not open."));
  EXPECT_TRUE(extended_.Installed());

  EXPECT_EQ(capture_.Count("Cannot open buffer"), 1u);

  EXPECT_NE(channel_.PrepareInput(), nullptr);  // installed without a view: not retried
  Input(1, 0, 8);
  EXPECT_EQ(channel_.PrepareInput(), nullptr);
  EXPECT_EQ(capture_.Count("Cannot open buffer"), 2u);
  EXPECT_EQ(capture_.Count("Cannot read data from the buffer"), 1u);
}

TEST_F(BlockChannelTest, OutputGoesInlineUpToTheRoomThenThroughBufferRequest) {
  constexpr uint32_t kOffset = 16;
  std::vector<unsigned char> pixels(kInlineDataSize - kOffset - 8 + 1, 0x5A);
  const Block fits[] = {Block(pixels.data(), pixels.size() - 1)};
  const Block tooLarge[] = {Block(pixels)};
  const uint32_t total = kInlineDataSize - kOffset + 1;

  EXPECT_FALSE(channel_.WriteOutput(kOffset, fits));
  EXPECT_TRUE(capture_.Has("Cannot write data to the buffer. Buffer is not open."));

  ASSERT_TRUE(CreateRegion(64));
  ASSERT_TRUE(extended_.Open());
  ASSERT_TRUE(channel_.WriteOutput(kOffset, fits));
  EXPECT_EQ(raiser_.raised, 0);
  EXPECT_EQ(block_.DataInExtended(), 0);
  EXPECT_EQ(block_.DataOffset(), kOffset);
  EXPECT_EQ(block_.DataSize(), kInlineDataSize - kOffset);
  EXPECT_EQ(block_.InlineData()[kInlineDataSize - 1], 0x5A);
  EXPECT_TRUE(capture_.Has(std::string("Output size ").append(std::to_string(total - 1))));

  raiser_.onEvent = [&](int32_t event) {
    EXPECT_EQ(event, kEventBufferRequest);
    EXPECT_EQ(block_.RequiredSize(), total);
    EXPECT_FALSE(extended_.Installed());  // closed before the client is asked
    return CreateRegion(block_.RequiredSize());
  };
  ASSERT_TRUE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_EQ(raiser_.raised, 1);
  EXPECT_EQ(block_.DataInExtended(), 1);
  EXPECT_EQ(block_.DataOffset(), kOffset);
  EXPECT_EQ(block_.DataSize(), total);
  EXPECT_EQ(static_cast<unsigned char*>(region_.Data())[total - 1], 0x5A);

  // A region made smaller than asked is not written past; a client that is gone gets nothing.
  raiser_.onEvent = [&](int32_t) { return CreateRegion(total - 1); };
  EXPECT_FALSE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_TRUE(capture_.Has(std::string("Buffer size ").append(std::to_string(total - 1))));
  raiser_.onEvent = nullptr;
  EXPECT_FALSE(channel_.WriteOutput(kOffset, tooLarge));
  EXPECT_EQ(raiser_.raised, 3);
}

}  // namespace
}  // namespace tessel
