#include "foundation/memory.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <string>

#include "platform/capabilities.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace tessel {

// Stderr of a fatal memory report, which must throw zph::bad_alloc past std::bad_alloc handlers.
template <typename Report>
std::string CaptureMemoryReport(Report report) {
  testing::internal::CaptureStderr();
  std::string thrown = "nothing";
  try {
    report();
  } catch (const std::bad_alloc&) {
    thrown = "std::bad_alloc";
  } catch (const std::exception& e) {
    thrown = dynamic_cast<const zph::bad_alloc*>(&e) != nullptr ? e.what() : "another exception";
  }
  EXPECT_EQ(thrown, "bad allocation");
  return testing::internal::GetCapturedStderr();
}

TEST(InlineBuffer, InlineUpToItsSizeThenHeap) {
  InlineBuffer<64> buffer;
  void* inlineArea = buffer.Reserve(64);
  EXPECT_FALSE(buffer.OnHeap());
  std::memset(inlineArea, 0xAA, 64);
  void* heap = buffer.Reserve(65);
  EXPECT_TRUE(buffer.OnHeap());
  std::memset(heap, 0xBB, 65);
  EXPECT_EQ(buffer.Reserve(1), inlineArea);  // and the heap block goes back
}

TEST(MemoryDeathTest, FatalReportsAndProtectedStringWrites) {
  const std::string tail =
      ", PID " + std::to_string(::getpid()) + "\nFatal error\nMemory allocation error\n";
  EXPECT_EQ(CaptureMemoryReport([] { ReportAllocationFailure(5000); }),
            "\nCan't allocate memory, size 5000" + tail);
  EXPECT_EQ(CaptureMemoryReport([] { ReportMemoryOperationError(0xFFFFFFFFu); }),
            "\nMemory operation error, code 4294967295" + tail);
  EXPECT_EQ(
      CaptureMemoryReport([] { PageRegion huge(size_t{1} << 47); }),
      "\nCan't allocate memory, size 4294967295, error code " + std::to_string(ENOMEM) + tail);
  EXPECT_EXIT(ReportFatalError("Logging fatal error %d, %s", 42, "disk"),
              testing::KilledBySignal(SIGABRT),
              "^Error , PID [0-9]+\nLogging fatal error 42, disk\n");

  // A protected string keeps its own copy, and writing to it faults.
  ProtectedString held;
  std::string value(2 * GetMemoryFacts().pageSize + 10, 'v');
  EXPECT_TRUE(held.Assign(value.data(), value.size()));
  value[0] = 'X';
  EXPECT_EQ(std::string(held.Data(), held.Length()), std::string(value.size(), 'v'));
  volatile char* first = const_cast<char*>(held.Data());
  EXPECT_DEATH(*first = 'x', "");
  EXPECT_DEATH(first[held.Length() - 1] = 'x', "");
}

// The probe raises CAP_IPC_LOCK for good, so it runs in a child.
TEST(LargePageProbe, TakesTheHugePageSizeOnlyWhenLockingIsPermitted) {
  CTempFolder folder;
  std::string two = folder.Write("two", "MemTotal: 1000 kB\nHugepagesize:       2048 kB\n");
  std::string overflow = folder.Write("overflow", "Hugepagesize: 99999999999999999999 kB\n");
  auto expect = [](const std::string& file, uint64_t size, bool usable) {
    LargePageSupport found = ProbeLargePages(file.c_str());
    EXPECT_EQ(found.largePageSize, size) << file;
    EXPECT_EQ(found.usable, usable) << file;
  };
  test::RunInChild([&] {
    if ((PermittedCapabilities() >> CAP_IPC_LOCK) & 1) {
      ASSERT_TRUE(LowerCapability(CAP_IPC_LOCK));
      expect(two, 2097152, true);
      EXPECT_TRUE((EffectiveCapabilities() >> CAP_IPC_LOCK) & 1) << "the probe raises it";
      expect(overflow, 131072, false);
      ASSERT_TRUE(DropCapability(CAP_IPC_LOCK));
    }
    expect(two, 131072, false);
  });
}

}  // namespace tessel
