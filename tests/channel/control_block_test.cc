#include "channel/control_block.h"

#include <gtest/gtest.h>

#include <array>

namespace tessel {
namespace {

// The block as the other side sees it: every field at its byte offset, little-endian.
TEST(ControlBlockTest, FieldsLandAtTheirWireOffsets) {
  std::array<unsigned char, kInlineDataOffset + 1> bytes{};
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
  const std::array<unsigned char, kInlineDataOffset + 1> expected = {
      0x01, 0x02, 0x03, 0x04, 0xFD, 0xFF, 0xFF, 0xFF, 0x11, 0xFE, 0xFF, 0xFF, 0xFF, 0x22, 0x33,
      0x34, 0x35, 0x36, 0x43, 0x44, 0x45, 0x46, 0x53, 0x54, 0x55, 0x56, 0x61, 0x62, 0x63, 0x64,
      0x65, 0x66, 0x67, 0x68, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x00};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(block.InlineData(), bytes.data() + 42);
  EXPECT_EQ(block.Event(), -2);
  EXPECT_EQ(block.Parameter(), 0x6867666564636261u);
  EXPECT_EQ(kMainMappingSize, 42u + 0x200000u);
}

}  // namespace
}  // namespace tessel
