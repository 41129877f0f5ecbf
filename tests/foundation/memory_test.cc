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
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

// Runs the fatal report, expects it to throw zph::bad_alloc past a std::bad_alloc handler, and
// returns what it wrote to standard error.
template <typename Report>
std::string CaptureMemoryReport(Report report) {
  testing::internal::CaptureStderr();
  bool caught = false;
  try {
    try {
      report();
    } catch (const std::bad_alloc&) {
      ADD_FAILURE() << "a std::bad_alloc handler caught the report";
    }
  } catch (const std::exception& e) {
    caught = dynamic_cast<const zph::bad_alloc*>(&e) != nullptr;
    EXPECT_STREQ(e.what(), "bad allocation");
  }
  EXPECT_TRUE(caught);
  return testing::internal::GetCapturedStderr();
}

std::string Pid() {
  return std::to_string(::getpid());
}

TEST(InlineBuffer, InlineUpToItsSizeThenExactHeapBlock) {
  InlineBuffer<64> buffer;
  void* inlineArea = buffer.Reserve(64);
  EXPECT_FALSE(buffer.OnHeap());
  std::memset(inlineArea, 0xAA, 64);

  void* heap = buffer.Reserve(65);
  EXPECT_TRUE(buffer.OnHeap());
  EXPECT_NE(heap, inlineArea);
  std::memset(heap, 0xBB, 65);

  // Going back to a small size gives the heap block back (the sanitizer build sees a leak).
  EXPECT_EQ(buffer.Reserve(1), inlineArea);
  EXPECT_FALSE(buffer.OnHeap());
}

TEST(PageRegion, RoundsUpToWholeGranules) {
  const MemoryFacts& facts = GetMemoryFacts();
  ASSERT_EQ(facts.pageSize, static_cast<uint32_t>(::sysconf(_SC_PAGESIZE)));
  ASSERT_EQ(facts.allocationGranularity, facts.pageSize);
  const size_t granule = facts.allocationGranularity;

  PageRegion one(1);
  ASSERT_TRUE(one.Valid());
  EXPECT_EQ(one.Size(), granule);
  std::memset(one.Data(), 0x5A, one.Size());

  PageRegion more(granule + 1);
  EXPECT_EQ(more.Size(), 2 * granule);
}

TEST(PageRegion, RegionBeyondTheAddressSpaceIsFatal) {
  std::string text = CaptureMemoryReport([] { PageRegion huge(size_t{1} << 47); });
  EXPECT_EQ(text, "\nCan't allocate memory, size 4294967295, error code " + std::to_string(ENOMEM) +
                      ", PID " + Pid() + "\nFatal error\nMemory allocation error\n");
}

TEST(ProtectedString, KeepsItsOwnCopyAndReplacesIt) {
  ProtectedString held;
  EXPECT_TRUE(held.Empty());
  char source[] = "first value";
  EXPECT_TRUE(held.Assign(source, 5));
  source[0] = 'X';
  EXPECT_EQ(std::string(held.Data(), held.Length()), "first");

  std::string longer(3 * GetMemoryFacts().pageSize + 7, 'q');
  EXPECT_TRUE(held.Assign(longer.data(), longer.size()));
  EXPECT_EQ(std::string(held.Data(), held.Length()), longer);
  held.Release();
  EXPECT_TRUE(held.Empty());
}

TEST(ProtectedStringDeathTest, WriteAfterAssignFaults) {
  ProtectedString held;
  std::string value(2 * GetMemoryFacts().pageSize + 10, 'v');
  held.Assign(value.data(), value.size());
  volatile char* first = const_cast<char*>(held.Data());
  volatile char* last = first + held.Length() - 1;
  EXPECT_DEATH(*first = 'x', "");
  EXPECT_DEATH(*last = 'x', "");
}

TEST(FatalReports, MemoryReportsShowTwoBoxesThenThrow) {
  EXPECT_EQ(CaptureMemoryReport([] { ReportAllocationFailure(5000); }),
            "\nCan't allocate memory, size 5000, PID " + Pid() +
                "\nFatal error\nMemory allocation error\n");
  // Sizes and codes are unsigned 32-bit values widened, never negative.
  EXPECT_EQ(CaptureMemoryReport([] { ReportMemoryOperationError(0xFFFFFFFFu); }),
            "\nMemory operation error, code 4294967295, PID " + Pid() +
                "\nFatal error\nMemory allocation error\n");
}

TEST(FatalReportsDeathTest, FatalErrorShowsCaptionAndTextThenAborts) {
  EXPECT_EXIT(ReportFatalError("Logging fatal error %d, %s", 42, "disk"),
              testing::KilledBySignal(SIGABRT),
              "^Error , PID [0-9]+\nLogging fatal error 42, disk\n");
}

TEST(PoolBlockSize, FollowsPhysicalMemory) {
  EXPECT_EQ(ChoosePoolBlockSize(3ull << 30, 4096), 4194304u);
  EXPECT_EQ(ChoosePoolBlockSize(2ull << 30, 4096), 2097152u);
  EXPECT_EQ(ChoosePoolBlockSize((128ull << 20) + 1, 4096), 2097152u);
  EXPECT_EQ(ChoosePoolBlockSize(128ull << 20, 4096), 1048576u);
  // With 64 KiB pages a growth granule is 2 MiB, and a block holds at least four of them.
  EXPECT_EQ(ChoosePoolBlockSize(3ull << 30, 65536), 8388608u);
}

TEST(Gcd, WithPageSize) {
  EXPECT_EQ(GcdWith4096(6144), 2048u);
  EXPECT_EQ(GcdWith4096(0), 0u);
  EXPECT_EQ(GcdWith4096(3 * 4096), 4096u);
}

// The probe changes the process's capabilities, so it runs in a child that names failed checks
// on standard error.
class LargePageProbeDeathTest : public testing::Test {
 protected:
  CTempFolder folder_;
};

#define CHILD_CHECK(condition) \
  if (!(condition)) failures += std::string("failed: ") + #condition + "\n"

TEST_F(LargePageProbeDeathTest, TakesTheHugePageSizeOnlyWhenLockingIsPermitted) {
  std::string twoMiB =
      folder_.Write("two", "MemTotal: 1000 kB\nHugepagesize:       2048 kB\nHugetlb: 0 kB\n");
  std::string small = folder_.Write("small", "Hugepagesize: 64 kB\n");
  std::string none = folder_.Write("none", "MemTotal: 1000 kB\n");
  std::string garbage = folder_.Write("garbage", "Hugepagesize: 99999999999999999999 kB\n");
  EXPECT_EXIT(
      {
        std::string failures;
        if ((PermittedCapabilities() >> CAP_IPC_LOCK) & 1) {
          LowerCapability(CAP_IPC_LOCK);
          LargePageSupport found = ProbeLargePages(twoMiB.c_str());
          CHILD_CHECK(found.usable && found.largePageSize == 2097152);
          CHILD_CHECK((EffectiveCapabilities() >> CAP_IPC_LOCK) & 1);
          for (const std::string* file : {&small, &none, &garbage}) {
            LargePageSupport kept = ProbeLargePages(file->c_str());
            CHILD_CHECK(!kept.usable && kept.largePageSize == 131072);
          }
          CHILD_CHECK(DropCapability(CAP_IPC_LOCK));
        }
        LargePageSupport denied = ProbeLargePages(twoMiB.c_str());
        CHILD_CHECK(!denied.usable && denied.largePageSize == 131072);
        CHILD_CHECK(((EffectiveCapabilities() >> CAP_IPC_LOCK) & 1) == 0);
        std::fputs(failures.c_str(), stderr);
        std::_Exit(failures.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessel
