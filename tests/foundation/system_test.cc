#include <gtest/gtest.h>

#include <cerrno>

#include "foundation/errors.h"
#include "foundation/process_memory.h"
#include "tests/support/temp_folder.h"

namespace tessel {

TEST(ErrorTexts, CodeThenTrimmedSystemText) {
  EXPECT_EQ(DescribeError(0), "0");
  EXPECT_EQ(DescribeError(13), "13, Permission denied");
  errno = ENOENT;
  EXPECT_EQ(DescribeLastError(), "2, No such file or directory");
  EXPECT_EQ(errno, ENOENT);
}

TEST(ProcessMemory, CountersFromTheStatusFileInBytes) {
  const std::string status =
      "VmPeak:\t    3776 kB\nVmSize:\t    3760 kB\nVmHWM:\t    2180 kB\nVmRSS:\t    2100 kB\n"
      "VmData:\t     292 kB\nVmSwap:\t       8 kB\n";
  CTempFolder temp;
  CProcessMemoryApi api(temp.Write("status", status).c_str());
  ProcessMemoryCounters counters{.privateUsage = 777};  // kept when there is no RssAnon line
  ASSERT_TRUE(QueryProcessMemory(api, counters));
  EXPECT_TRUE(counters.valid);
  EXPECT_EQ(counters.pageFileUsage, 3760u * 1024);
  EXPECT_EQ(counters.workingSetSize, 2100u * 1024);
  EXPECT_EQ(counters.peakPageFileUsage, 3776u * 1024);
  EXPECT_EQ(counters.peakWorkingSetSize, 2180u * 1024);
  EXPECT_EQ(counters.privateUsage, 777u);
  // The kept descriptor is read from the start each time, so a changed file is seen whole.
  temp.Write("status", status + "RssAnon:\t     100 kB\n");
  ASSERT_TRUE(QueryProcessMemory(api, counters));
  EXPECT_EQ(counters.privateUsage, 108u * 1024);

  for (const char* broken :
       {"VmPeak: 1 kB\nVmSize: 1 kB\nVmHWM: 1 kB\nVmRSSx: 5 kB\n",
        "VmPeak: 1 kB\nVmSize: 1 kB\nVmHWM: 1 kB\nVmRSS: 99999999999999999999 kB\n",
        "/nonexistent"}) {
    CProcessMemoryApi api(broken[0] == '/' ? broken : temp.Write("status", broken).c_str());
    ProcessMemoryCounters record{.workingSetSize = 5};
    EXPECT_FALSE(QueryProcessMemory(api, record)) << broken;
    EXPECT_EQ(record.workingSetSize, 0u);
    EXPECT_FALSE(record.valid);
  }

  ASSERT_TRUE(QueryProcessMemory(CProcessMemoryApi(), counters));  // this very process
  EXPECT_GT(counters.workingSetSize, 0u);
  EXPECT_GE(counters.peakWorkingSetSize, counters.workingSetSize);
  EXPECT_GT(counters.privateUsage, 0u);
  EXPECT_GT(counters.pageFaultCount, 0u);
}

}  // namespace tessel
