// Several real processes share one log folder and one logging mutex.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_test_support.h"
#include "logging/logger.h"
#include "platform/process.h"

namespace tessel {
namespace {

using test::CLogSandbox;

pid_t Spawn(const std::vector<std::string>& args, int* stdoutFd = nullptr) {
  int pipeFds[2] = {-1, -1};
  if (stdoutFd != nullptr && ::pipe(pipeFds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (stdoutFd != nullptr) {
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (stdoutFd != nullptr) {
    ::close(pipeFds[1]);
    *stdoutFd = pipeFds[0];
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(LoggerProcesses, ConcurrentWritersLoseAndTearNothing) {
  CLogSandbox sandbox;
  const std::string writer = ExecutableFolder() + "child_log_writer";
  constexpr int kProcesses = 4;
  constexpr int kRecords = 1500;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    std::string label = std::to_string(p);
    label.insert(label.begin(), 'w');
    children.push_back(Spawn({writer, "write", sandbox.Folder(), sandbox.MutexName(),
                              std::to_string(kRecords), label}));
  }
  for (pid_t pid : children) EXPECT_EQ(WaitExit(pid), 0);

  const std::regex record(
      R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID ([0-9A-F]{8}):\r\n(w\d) record (\d+) (p*))");
  std::map<std::string, std::string> tagOfWriter;
  std::map<std::string, int> nextIndex;
  const auto records = test::SplitRecords(sandbox.ReadAll());
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
  CLogSandbox sandbox;
  const std::string writer = ExecutableFolder() + "child_log_writer";
  int out = -1;
  const pid_t holder = Spawn({writer, "hold", sandbox.MutexName()}, &out);
  char line[8] = {};
  ASSERT_EQ(::read(out, line, 5), 5);
  ::close(out);
  ASSERT_STREQ(line, "held\n");

  // A second writer starts while the mutex is held: it waits, then the holder dies.
  const pid_t next = Spawn({writer, "write", sandbox.Folder(), sandbox.MutexName(), "3", "after"});
  ::usleep(200 * 1000);
  ::kill(holder, SIGKILL);
  EXPECT_EQ(WaitExit(holder), 128 + SIGKILL);
  EXPECT_EQ(WaitExit(next), 0);

  // And this process goes on too.
  CLogger logger(sandbox.Options());
  logger.Log(Plain, "still logging");
  const std::string text = sandbox.ReadAll();
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
  CLogSandbox sandbox;
  const std::string otherFolder = sandbox.Folder() + "other/";
  ASSERT_EQ(::mkdir(otherFolder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(otherFolder.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(sandbox.Folder().c_str(), 0711), 0);  // the other user passes through only
  LoggerOptions options;  // this user's mutex, whatever the process logger uses
  options.directory = sandbox.Folder();
  options.banners = false;
  CLogger mine(options);
  mine.Log(Plain, "from root");

  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kOther, kOther, kOther) != 0 ||
        ::setresuid(kOther, kOther, kOther) != 0) {
      ::_exit(2);
    }
    LoggerOptions theirs;
    theirs.directory = otherFolder;
    theirs.banners = false;
    CLogger logger(theirs);
    logger.Log(Plain, "from the other user");
    ::_exit(logger.Enabled() ? 0 : 1);
  }
  const int exit = WaitExit(child);
  mine.Log(Plain, "root again");
  const bool otherMutexMade = std::filesystem::exists(otherMutex);
  if (!otherMutexExisted) CNamedMutex::Remove(LoggingMutexName(kOther));
  EXPECT_EQ(exit, 0) << "the other user could not log";
  EXPECT_TRUE(otherMutexMade);
  EXPECT_TRUE(std::filesystem::exists("/dev/shm/" + LoggingMutexName(0)));
  const std::string ours = sandbox.ReadAll();
  EXPECT_NE(ours.find("from root"), std::string::npos);
  EXPECT_NE(ours.find("root again"), std::string::npos);
  std::string theirs;
  for (const auto& entry : std::filesystem::directory_iterator(otherFolder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    theirs.append(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_NE(theirs.find("from the other user"), std::string::npos);
}

}  // namespace
}  // namespace tessel
