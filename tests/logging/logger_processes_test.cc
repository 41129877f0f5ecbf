// Several real processes share one log folder and one logging mutex.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

using namespace std::chrono_literals;

// A process of its own that logs `count` records "<label> record <i> <padding>".
std::unique_ptr<test::CForkedChild> Writer(const CTempFolder& folder, int count,
                                           const std::string& label) {
  return std::make_unique<test::CForkedChild>([&] {
    CLogger logger(folder.LogOptions());
    std::string padding;
    for (int i = 0; i < count; ++i) {
      // Records of varying length make torn writes visible.
      padding.assign(static_cast<size_t>((i * 37) % 500), 'p');
      logger.Log(
          Plain, "%s record %d %s",
          {LogArg::String(label.c_str()), LogArg::Int32(i), LogArg::String(padding.c_str())});
    }
    EXPECT_TRUE(logger.Enabled());
  });
}

TEST(LoggerProcesses, ConcurrentWritersLoseAndTearNothing) {
  CTempFolder sandbox;
  constexpr int kProcesses = 4;
  constexpr int kRecords = 1500;
  std::vector<std::unique_ptr<test::CForkedChild>> children;
  for (int p = 0; p < kProcesses; ++p)
    children.push_back(Writer(sandbox, kRecords, "w" + std::to_string(p)));
  for (const auto& child : children) EXPECT_EQ(child->Wait(), 0);

  const std::regex record(
      R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID ([0-9A-F]{8}):\r\n(w\d) record (\d+) (p*))");
  std::map<std::string, std::string> tagOfWriter;
  std::map<std::string, int> nextIndex;
  const auto records = test::SplitRecords(test::ReadLogs(sandbox / ""));
  ASSERT_EQ(records.size(), static_cast<size_t>(kProcesses * kRecords));
  for (const auto& text : records) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, record)) << "torn record: " << text.substr(0, 200);
    const std::string tag = m[1], label = m[2];
    const int index = std::stoi(m[3]);
    EXPECT_EQ(m[4].length(), static_cast<size_t>((index * 37) % 500));
    auto [it, inserted] = tagOfWriter.emplace(label, tag);
    EXPECT_EQ(it->second, tag) << "one process, one tag";
    EXPECT_EQ(nextIndex[label]++, index) << "records of one process stay in order";
  }
  std::map<std::string, int> writersOfTag;
  for (const auto& [label, tag] : tagOfWriter) ++writersOfTag[tag];
  EXPECT_EQ(writersOfTag.size(), static_cast<size_t>(kProcesses)) << "each process has its own tag";
}

TEST(LoggerProcesses, AHolderKilledWithTheMutexDoesNotStopTheNextProcess) {
  CTempFolder sandbox;
  int held[2];
  ASSERT_EQ(::pipe(held), 0);
  test::CForkedChild holder([&] {
    CNamedMutex mutex;
    const std::string name = sandbox.LogOptions().mutexName;
    ASSERT_TRUE(mutex.Open(name) || mutex.Create(name, 0600));
    ASSERT_EQ(mutex.Wait(10s), CNamedMutex::WaitResult::Granted);
    ASSERT_EQ(::write(held[1], "held", 4), 4);
    for (;;) ::pause();
  });
  ::close(held[1]);
  char line[8] = {};
  ASSERT_EQ(::read(held[0], line, 4), 4);
  ::close(held[0]);
  ASSERT_STREQ(line, "held");

  // A second writer starts while the mutex is held: it waits, then the holder dies.
  const auto next = Writer(sandbox, 3, "after");
  ::usleep(200 * 1000);
  ::kill(holder.Pid(), SIGKILL);
  const int status = holder.Wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << test::DescribeStatus(status);
  EXPECT_EQ(next->Wait(), 0);

  // And this process goes on too.
  CLogger logger(sandbox.LogOptions());
  logger.Log(Plain, "still logging");
  const std::string text = test::ReadLogs(sandbox / "");
  EXPECT_NE(text.find("after record 2"), std::string::npos);
  EXPECT_NE(text.find("still logging"), std::string::npos);
}

// Root's logging mutex is open to root only (mode 0600): another user must log all the same,
// under a mutex of its own.
TEST(LoggerProcesses, TwoUsersLogSideBySideEachUnderTheirOwnMutex) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a process as another user needs root";
  constexpr uid_t kOther = 65534;
  const std::string otherMutex = "/dev/shm/" + LoggingMutexName(kOther);
  const bool otherMutexExisted = std::filesystem::exists(otherMutex);
  CTempFolder sandbox;
  const std::string otherFolder = sandbox / "other/";
  ASSERT_EQ(::mkdir(otherFolder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(otherFolder.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod((sandbox / "").c_str(), 0711), 0);  // the other user passes through only
  LoggerOptions options;  // this user's mutex, whatever the process logger uses
  options.directory = sandbox / "";
  options.banners = false;
  CLogger mine(options);
  mine.Log(Plain, "from root");

  test::RunInChild([&] {
    ASSERT_EQ(::setgroups(0, nullptr), 0);
    ASSERT_EQ(::setresgid(kOther, kOther, kOther), 0);
    ASSERT_EQ(::setresuid(kOther, kOther, kOther), 0);
    LoggerOptions theirs;
    theirs.directory = otherFolder;
    theirs.banners = false;
    CLogger logger(theirs);
    logger.Log(Plain, "from the other user");
    EXPECT_TRUE(logger.Enabled()) << "the other user could not log";
  });
  mine.Log(Plain, "root again");
  const bool otherMutexMade = std::filesystem::exists(otherMutex);
  if (!otherMutexExisted) CNamedMutex::Remove(LoggingMutexName(kOther));
  EXPECT_TRUE(otherMutexMade);
  EXPECT_TRUE(std::filesystem::exists("/dev/shm/" + LoggingMutexName(0)));
  const std::string ours = test::ReadLogs(sandbox / "");
  EXPECT_NE(ours.find("from root"), std::string::npos);
  EXPECT_NE(ours.find("root again"), std::string::npos);
  const std::string theirs = test::ReadLogs(otherFolder);
  EXPECT_NE(theirs.find("from the other user"), std::string::npos);
}

}  // namespace
}  // namespace tessel
