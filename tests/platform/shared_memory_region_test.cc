#include "platform/shared_memory_region.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace tessel {
namespace {

class SharedMemoryRegionTest : public ::testing::Test {
 protected:
  std::string Name(const std::string& role) {
    std::string name = "TESSEL_TEST_REGION_" + role + "_" + std::to_string(::getpid());
    names_.push_back(name);
    return name;
  }
  void TearDown() override {
    for (const auto& name : names_) CSharedMemoryRegion::Unlink(name);
  }

  // Makes an object the way a peer might, bypassing Create's choices.
  static void MakeRawObject(const std::string& name, off_t size, mode_t mode) {
    int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, mode);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }

 private:
  std::vector<std::string> names_;
};

TEST_F(SharedMemoryRegionTest, CreateAndOpenShareTheSameBytes) {
  const std::string name = Name("share");
  CSharedMemoryRegion creator;
  ASSERT_TRUE(creator.Create(name, 10000));
  EXPECT_EQ(creator.Size(), 10000u);
  EXPECT_TRUE(creator.IsWritable());
  const auto* bytes = static_cast<const unsigned char*>(creator.Data());
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[9999], 0);

  CSharedMemoryRegion duplicate;
  EXPECT_FALSE(duplicate.Create(name, 10));
  EXPECT_EQ(errno, EEXIST);

  CSharedMemoryRegion writer, reader;
  ASSERT_TRUE(writer.Open(name, true));
  ASSERT_TRUE(reader.Open(name, false));
  EXPECT_EQ(writer.Size(), 10000u);
  EXPECT_EQ(reader.Size(), 10000u);
  EXPECT_FALSE(reader.IsWritable());
  std::memcpy(static_cast<char*>(writer.Data()) + 9990, "tessel", 6);
  EXPECT_EQ(std::memcmp(static_cast<const char*>(reader.Data()) + 9990, "tessel", 6), 0);
  EXPECT_EQ(std::memcmp(bytes + 9990, "tessel", 6), 0);

  writer.Close();
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(writer.Data(), nullptr);
  EXPECT_EQ(writer.Size(), 0u);
  writer.Close();
}

TEST_F(SharedMemoryRegionTest, RefusesBadNamesSizesAndMissingObjects) {
  CSharedMemoryRegion region;
  EXPECT_FALSE(region.Open(Name("missing"), true));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(CSharedMemoryRegion::ExistsReadOnly(Name("missing")));

  EXPECT_FALSE(region.Create(Name("empty"), 0));
  EXPECT_EQ(errno, EINVAL);
  CSharedMemoryRegion probe;
  EXPECT_FALSE(probe.Open(Name("empty"), false));
  EXPECT_EQ(errno, ENOENT) << "a refused Create must not leave its name behind";

  for (const std::string& bad : {std::string(), std::string("/lead"), std::string("a/b"),
                                 std::string("nul\0x", 5), std::string(NAME_MAX, 'x')}) {
    EXPECT_FALSE(region.Create(bad, 4096));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(region.Open(bad, true));
    EXPECT_EQ(errno, EINVAL);
  }

  // An object that a peer made but never sized has nothing to map.
  const std::string unsized = Name("unsized");
  MakeRawObject(unsized, 0, 0600);
  EXPECT_FALSE(region.Open(unsized, true));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(region.IsOpen());
}

TEST_F(SharedMemoryRegionTest, OpenMapsTheRealSizeOfTheObject) {
  // The opener trusts only the object's own size, whatever its creator had in mind.
  const std::string name = Name("real");
  MakeRawObject(name, 3 * 4096 + 1, 0600);
  CSharedMemoryRegion region;
  ASSERT_TRUE(region.Open(name, true));
  EXPECT_EQ(region.Size(), 3u * 4096 + 1);
  static_cast<char*>(region.Data())[region.Size() - 1] = 'z';

  int fd = ::shm_open(("/" + name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 5 * 4096), 0);  // a peer grows it
  ::close(fd);
  CSharedMemoryRegion later;
  ASSERT_TRUE(later.Open(name, false));
  EXPECT_EQ(later.Size(), 5u * 4096);
  EXPECT_EQ(static_cast<const char*>(later.Data())[3 * 4096], 'z');
}

TEST_F(SharedMemoryRegionTest, ReadOnlyObjectIsToldApart) {
  const std::string name = Name("readonly");
  // Root would be let through by CAP_DAC_OVERRIDE, so the check runs in a child without
  // effective capabilities.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) ::_exit(10);
    data[0].effective = data[1].effective = 0;
    if (::syscall(SYS_capset, &header, data) != 0) ::_exit(11);

    int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0400);
    if (fd < 0 || ::ftruncate(fd, 4096) != 0) ::_exit(12);
    ::close(fd);
    CSharedMemoryRegion region;
    if (region.Open(name, true)) ::_exit(13);
    if (errno != EACCES) ::_exit(14);
    if (!CSharedMemoryRegion::ExistsReadOnly(name)) ::_exit(15);
    if (errno != EACCES) ::_exit(16);  // still the writable open's cause, for the caller's log
    if (!region.Open(name, false) || region.IsWritable() || region.Size() != 4096) ::_exit(17);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SharedMemoryRegionTest, RecreatedNameIsANewObjectAndOldViewsStayValid) {
  const std::string name = Name("recreate");
  CSharedMemoryRegion first;
  ASSERT_TRUE(first.Create(name, 4096));
  static_cast<char*>(first.Data())[0] = 'A';
  CSharedMemoryRegion old_view;
  ASSERT_TRUE(old_view.Open(name, true));

  first.Close();
  ASSERT_TRUE(CSharedMemoryRegion::Unlink(name));
  CSharedMemoryRegion second;
  ASSERT_TRUE(second.Create(name, 3 * 4096));
  static_cast<char*>(second.Data())[0] = 'B';

  auto* old_bytes = static_cast<char*>(old_view.Data());
  EXPECT_EQ(old_bytes[0], 'A');
  old_bytes[4095] = 'w';  // still mapped and writable
  EXPECT_EQ(old_view.Size(), 4096u);

  CSharedMemoryRegion new_view;
  ASSERT_TRUE(new_view.Open(name, true));
  EXPECT_EQ(new_view.Size(), 3u * 4096);
  EXPECT_EQ(static_cast<const char*>(new_view.Data())[0], 'B');
  EXPECT_EQ(static_cast<const char*>(new_view.Data())[4095], '\0');

  EXPECT_TRUE(CSharedMemoryRegion::Unlink(name));
  EXPECT_FALSE(CSharedMemoryRegion::Unlink(name));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace tessel
