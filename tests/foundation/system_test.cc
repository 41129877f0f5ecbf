#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "foundation/errors.h"
#include "foundation/process_memory.h"
#include "foundation/volume_info.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

TEST(ErrorTexts, CodeThenTrimmedSystemText) {
  EXPECT_EQ(DescribeError(0), "0");
  EXPECT_EQ(DescribeError(13), "13, Permission denied");
  EXPECT_EQ(DescribeError(-1).rfind("-1, ", 0), 0u);
  errno = ENOENT;
  EXPECT_EQ(DescribeLastError(), "2, No such file or directory");
  EXPECT_EQ(errno, ENOENT);
}

constexpr const char* kStatusWithoutAnon =
    "Name:\tTessel\nVmPeak:\t    3776 kB\nVmSize:\t    3760 kB\nVmHWM:\t    2180 kB\n"
    "VmRSS:\t    2100 kB\nVmData:\t     292 kB\nVmSwap:\t       8 kB\n";

TEST(ProcessMemory, CountersFromTheStatusFileInBytes) {
  CTempFolder temp;
  std::string status = temp.Write("status", kStatusWithoutAnon);
  CProcessMemoryApi api(status.c_str());
  ASSERT_TRUE(api.Resolved());

  ProcessMemoryCounters counters;
  counters.privateUsage = 777;
  ASSERT_TRUE(QueryProcessMemory(api, counters));
  EXPECT_TRUE(counters.valid);
  EXPECT_EQ(counters.pageFileUsage, 3760u * 1024);
  EXPECT_EQ(counters.workingSetSize, 2100u * 1024);
  EXPECT_EQ(counters.peakPageFileUsage, 3776u * 1024);
  EXPECT_EQ(counters.peakWorkingSetSize, 2180u * 1024);
  EXPECT_GT(counters.pageFaultCount, 0u);
  EXPECT_EQ(counters.privateUsage, 777u);

  // The kept descriptor is read from the start each time, so a changed file is seen whole.
  temp.Write("status", std::string(kStatusWithoutAnon) + "RssAnon:\t     100 kB\n");
  ASSERT_TRUE(QueryProcessMemory(api, counters));
  EXPECT_EQ(counters.privateUsage, 108u * 1024);
  EXPECT_EQ(counters.workingSetSize, 2100u * 1024);
}

TEST(ProcessMemory, UnreadableOrBrokenStatusIsNotCounted) {
  CProcessMemoryApi missing("/nonexistent-tessel/status");
  EXPECT_FALSE(missing.Resolved());
  ProcessMemoryCounters counters;
  EXPECT_FALSE(QueryProcessMemory(missing, counters));
  EXPECT_FALSE(counters.valid);

  CTempFolder temp;
  for (const char* broken :
       {"VmPeak: 1 kB\nVmSize: 1 kB\nVmHWM: 1 kB\nVmRSSx: 5 kB\n",
        "VmPeak: 1 kB\nVmSize: 1 kB\nVmHWM: 1 kB\nVmRSS: 99999999999999999999 kB\n"}) {
    CProcessMemoryApi api(temp.Write("status", broken).c_str());
    ProcessMemoryCounters record;
    record.workingSetSize = 5;
    EXPECT_FALSE(QueryProcessMemory(api, record)) << broken;
    EXPECT_EQ(record.workingSetSize, 0u);
    EXPECT_FALSE(record.valid);
  }
}

TEST(ProcessMemory, OwnProcessFigures) {
  ProcessMemoryCounters counters;
  ASSERT_TRUE(QueryProcessMemory(CProcessMemoryApi(), counters));
  EXPECT_GT(counters.workingSetSize, 0u);
  EXPECT_GE(counters.peakWorkingSetSize, counters.workingSetSize);
  EXPECT_GT(counters.privateUsage, 0u);
}

TEST(VolumeInfoService, BindsTheFileSystemQueries) {
  CVolumeInfoService& service = CVolumeInfoService::Instance();
  ASSERT_TRUE(service.Loaded());
  ASSERT_NE(service.Fstatfs(), nullptr);
  ASSERT_NE(service.Readlinkat(), nullptr);

  CTempFolder temp;
  std::string file = temp.Write("volume", "x");
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct statfs info;
  EXPECT_EQ(service.Fstatfs()(fd, &info), 0);
  EXPECT_GT(info.f_bsize, 0);
  char target[PATH_MAX];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  EXPECT_GT(service.Readlinkat()(AT_FDCWD, link.c_str(), target, sizeof(target)), 0);
  ::close(fd);
}

}  // namespace
}  // namespace tessel
