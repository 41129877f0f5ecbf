#include "platform/shared_memory_region.h"

#include <linux/capability.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/capabilities.h"
#include "tests/platform/shared_objects.h"

namespace tessel {

class SharedMemoryRegionTest : public ::testing::Test {
 protected:
  void TearDown() override { CSharedMemoryRegion::Unlink(name_); }
  const std::string name_ = test::UniqueName();
};

TEST_F(SharedMemoryRegionTest, ViewsShareBytesAndOutliveTheirName) {
  CSharedMemoryRegion creator, old_view, reader, new_view;
  auto Bytes = [](const CSharedMemoryRegion& region) { return static_cast<char*>(region.Data()); };
  ASSERT_TRUE(creator.Create(name_, 10000));
  EXPECT_EQ(creator.Size(), 10000u);
  EXPECT_FALSE(CSharedMemoryRegion().Create(name_, 10));
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(old_view.Open(name_, true));
  ASSERT_TRUE(reader.Open(name_, false));
  EXPECT_FALSE(reader.IsWritable());
  std::memcpy(Bytes(old_view) + 9990, "tessel", 6);
  EXPECT_EQ(std::memcmp(Bytes(reader) + 9990, "tessel", 6), 0);
  creator.Close();

  // A new object under the same name: old views keep the old one, a new view maps the real
  // size of the new one, whatever its creator had in mind.
  ASSERT_TRUE(CSharedMemoryRegion::Unlink(name_));
  ASSERT_TRUE(test::MakeRawObject(name_, 3 * 4096 + 1, 0600));
  ASSERT_TRUE(new_view.Open(name_, true));
  EXPECT_EQ(new_view.Size(), 3u * 4096 + 1);
  EXPECT_EQ(Bytes(new_view)[9990], 0);
  Bytes(new_view)[3 * 4096] = 'z';
  Bytes(old_view)[9996] = 'w';  // still mapped and writable
  EXPECT_EQ(std::memcmp(Bytes(reader) + 9990, "tesselw", 7), 0);
}

// Pages are taken at creation by default, and only by Reserve() for a region made to be faulted
// in on touch: the start of a session takes them while its worker starts.
TEST_F(SharedMemoryRegionTest, PagesAreTakenAtCreationOrByReserve) {
  const auto TakenBytes = [](const std::string& name) {
    struct stat info {};
    EXPECT_EQ(::stat(SharedObjectFile(name).c_str(), &info), 0);
    return static_cast<uint64_t>(info.st_blocks) * 512;
  };
  constexpr size_t kSize = 1 << 20;
  CSharedMemoryRegion lazy;
  ASSERT_TRUE(lazy.Create(name_, kSize, Prefault::kOnTouch));
  EXPECT_EQ(TakenBytes(name_), 0u);
  ASSERT_TRUE(lazy.Reserve());
  EXPECT_GE(TakenBytes(name_), kSize);
  EXPECT_FALSE(CSharedMemoryRegion().Reserve());
  EXPECT_EQ(errno, EBADF);

  const std::string eager = name_ + "-eager";
  CSharedMemoryRegion region;
  ASSERT_TRUE(region.Create(eager, kSize));
  EXPECT_GE(TakenBytes(eager), kSize);
  CSharedMemoryRegion::Unlink(eager);
}

TEST_F(SharedMemoryRegionTest, RefusesBadNamesSizesAndUnsizedObjects) {
  CSharedMemoryRegion region;
  EXPECT_FALSE(region.Open(name_, true));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(CSharedMemoryRegion::ExistsReadOnly(name_));
  EXPECT_FALSE(region.Create(name_, 0));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(region.Open(name_, false));
  EXPECT_EQ(errno, ENOENT) << "a refused Create must not leave its name behind";
  for (const std::string& bad : {std::string(), std::string("/lead"), std::string("a/b"),
                                 std::string("nul\0x", 5), std::string(NAME_MAX, 'x')}) {
    EXPECT_FALSE(region.Create(bad, 4096));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(region.Open(bad, true));
    EXPECT_EQ(errno, EINVAL);
  }
  ASSERT_TRUE(test::MakeRawObject(name_, 0, 0600));  // made by a peer but never sized
  EXPECT_FALSE(region.Open(name_, true));
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(SharedMemoryRegionTest, ReadOnlyObjectIsToldApart) {
  // Root would be let through by CAP_DAC_OVERRIDE, so this runs without effective capabilities.
  test::RunInChild([&] {
    ASSERT_TRUE(LowerCapability(CAP_DAC_OVERRIDE));
    ASSERT_TRUE(test::MakeRawObject(name_, 4096, 0400));
    CSharedMemoryRegion region;
    EXPECT_FALSE(region.Open(name_, true));
    EXPECT_EQ(errno, EACCES);
    // errno stays the writable open's cause, for the caller's log.
    EXPECT_TRUE(CSharedMemoryRegion::ExistsReadOnly(name_));
    EXPECT_EQ(errno, EACCES);
    ASSERT_TRUE(region.Open(name_, false));
    EXPECT_FALSE(region.IsWritable());
    EXPECT_EQ(region.Size(), 4096u);
  });
}

}  // namespace tessel
