#include "channel/shared_memory.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "channel/parent_process.h"
#include "log_capture_support.h"
#include "platform/capabilities.h"

namespace tessel {
namespace {

std::string TestName(const char* what) {
  std::string name = "ha_memory_";
  name.append(what).append("_").append(std::to_string(::getpid()));
  return name;
}

TEST(SharedMemoryTest, OpenTellsMissingReadOnlyAndUnmappableObjectsApart) {
  test::CLogCapture capture;
  const std::string missing = TestName("missing");
  CSharedMemory memory(capture.Logger());
  EXPECT_FALSE(memory.Open(missing));
  EXPECT_TRUE(capture.Has(std::string("Cannot open shared memory, ")
                              .append(missing)
                              .append(", 2, No such file or directory, 0")));
  EXPECT_FALSE(capture.Has("File is readonly"));

  // Empty: the client has not sized it yet.
  const std::string empty = TestName("empty");
  CSharedMemoryRegion::Unlink(empty);
  CSharedMemoryRegion region;
  ASSERT_TRUE(region.Create(empty, 4096));
  ::truncate(std::string("/dev/shm/").append(empty).c_str(), 0);
  EXPECT_FALSE(memory.Open(empty));
  EXPECT_TRUE(capture.Has(std::string("Cannot map file ").append(empty)));

  // Readable only; the owner's override capability would hide that, so the child lowers it.
  ::truncate(std::string("/dev/shm/").append(empty).c_str(), 4096);
  ::chmod(std::string("/dev/shm/").append(empty).c_str(), 0400);
  const pid_t child = ::fork();
  if (child == 0) {
    LowerCapability(CAP_DAC_OVERRIDE);
    CSharedMemory readOnly(capture.Logger());
    ::_exit(readOnly.Open(empty) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(capture.Has("File is readonly"));
  CSharedMemoryRegion::Unlink(empty);
}

TEST(ParentProcessTest, WatchesTheFirstParentUntilItEnds) {
  test::CLogCapture capture;
  CParentProcess parent(capture.Logger());
  EXPECT_TRUE(parent.IsAlive());  // nothing watched

  EXPECT_FALSE(parent.Open(0x80000000u));
  EXPECT_TRUE(capture.Has("Can't open parent process -2147483648, 22, Invalid argument"));
  EXPECT_FALSE(parent.Watching());

  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_TRUE(parent.Open(static_cast<uint32_t>(child)));
  EXPECT_FALSE(parent.Open(static_cast<uint32_t>(::getpid())));
  EXPECT_EQ(parent.ProcessId(), static_cast<uint32_t>(child));
  EXPECT_TRUE(parent.IsAlive());

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(parent.IsAlive());
}

}  // namespace
}  // namespace tessel
