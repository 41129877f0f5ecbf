#include "platform/named_event.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tessel {
namespace {

using namespace std::chrono_literals;
using WaitResult = CNamedEvent::WaitResult;

// Long enough that a missed wake-up shows as a failure rather than a pass.
constexpr auto kPatience = 20s;

pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int ExitCodeOf(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Gives a child that announced it is about to wait the chance to fall asleep, so that Set has to
// wake it rather than find it still awake. Not waiting long enough only weakens the test.
void WaitUntilSleeping(pid_t pid) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') return;
    std::this_thread::sleep_for(5ms);
  }
}

class NamedEventTest : public ::testing::Test {
 protected:
  // Unique to this process and removed after the test; padded with 'x' to `length` if given.
  std::string Name(const std::string& role, size_t length = 0) {
    std::string name = "TESSEL_TEST_EVENT_" + role + "_" + std::to_string(::getpid());
    if (length > name.size()) name.resize(length, 'x');
    names_.push_back(name);
    return name;
  }
  void TearDown() override {
    for (const auto& name : names_) CNamedEvent::Unlink(name);
  }

 private:
  std::vector<std::string> names_;
};

TEST_F(NamedEventTest, CreateAndOpenFollowTheNamingRules) {
  const std::string name = Name("names");
  CNamedEvent missing;
  EXPECT_FALSE(missing.Open(name));
  EXPECT_EQ(errno, ENOENT);

  CNamedEvent created;
  ASSERT_TRUE(created.Create(name));
  CNamedEvent duplicate;
  EXPECT_FALSE(duplicate.Create(name));
  EXPECT_EQ(errno, EEXIST);

  struct stat info {};
  int fd = ::shm_open(("/" + name).c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fstat(fd, &info), 0);
  ::close(fd);
  EXPECT_EQ(info.st_size, static_cast<off_t>(CNamedEvent::kObjectSize));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  CNamedEvent bad;
  EXPECT_FALSE(bad.Create("a/b"));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(bad.Create(Name("long", NAME_MAX - 1)));  // "/" + name is one path component

  CNamedEvent closed;
  EXPECT_EQ(closed.Wait(0ms), WaitResult::Failed);
  EXPECT_FALSE(closed.Set());
}

TEST_F(NamedEventTest, ObjectTooSmallForTheStateWordIsRefused) {
  const std::string name = Name("small");
  int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 2), 0);
  ::close(fd);
  CNamedEvent event;
  EXPECT_FALSE(event.Open(name));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(event.IsOpen());
}

TEST_F(NamedEventTest, ManualResetSemantics) {
  const std::string name = Name("manual");
  CNamedEvent creator, opener;
  ASSERT_TRUE(creator.Create(name));
  ASSERT_TRUE(opener.Open(name));

  EXPECT_EQ(opener.Wait(0ms), WaitResult::TimedOut);
  EXPECT_EQ(opener.Wait(30ms), WaitResult::TimedOut);

  // Set before anyone waits: every later wait, through either handle, returns signalled.
  ASSERT_TRUE(creator.Set());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(opener.Wait(kPatience), WaitResult::Signalled);
    EXPECT_EQ(creator.Wait(0ms), WaitResult::Signalled);
  }
  ASSERT_TRUE(creator.Set());  // setting a set event changes nothing
  EXPECT_EQ(opener.Wait(0ms), WaitResult::Signalled);

  ASSERT_TRUE(opener.Reset());
  EXPECT_EQ(creator.Wait(0ms), WaitResult::TimedOut);
  EXPECT_EQ(opener.Wait(10ms), WaitResult::TimedOut);
}

TEST_F(NamedEventTest, SetWakesWaitersInOtherProcesses) {
  const std::string name = Name("wake");
  CNamedEvent event;
  ASSERT_TRUE(event.Create(name));

  constexpr int kWaiters = 6;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kWaiters; ++i) {
    children.push_back(ForkChild([&] {
      CNamedEvent mine;
      if (!mine.Open(name)) return 10;
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) return 11;
      // Wait checks the word once more when its time runs out, so a lost wake-up would still
      // read as signalled; only an early return proves that Set woke this process.
      const auto give_up = std::chrono::steady_clock::now() + kPatience;
      if (mine.Wait(kPatience) != WaitResult::Signalled) return 12;
      return std::chrono::steady_clock::now() < give_up ? 0 : 13;
    }));
    ASSERT_GT(children.back(), 0);
  }
  for (int i = 0; i < kWaiters; ++i) {
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  }
  ::close(ready[0]);
  ::close(ready[1]);
  for (pid_t child : children) WaitUntilSleeping(child);

  ASSERT_TRUE(event.Set());
  for (pid_t child : children) EXPECT_EQ(ExitCodeOf(child), 0);
}

// A peer that knows nothing but the documented layout: raw shm_open, mmap and futex calls.
int PlainPeer(const std::string& ping_name, const std::string& pong_name) {
  int ping_fd = shm_open(("/" + ping_name).c_str(), O_RDWR, 0);
  int pong_fd = shm_open(("/" + pong_name).c_str(), O_RDWR, 0);
  if (ping_fd < 0 || pong_fd < 0) return 20;
  struct stat info;
  if (fstat(ping_fd, &info) != 0 || info.st_size != 4096) return 21;
  uint32_t* ping = (uint32_t*)mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, ping_fd, 0);
  uint32_t* pong = (uint32_t*)mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, pong_fd, 0);
  if (ping == MAP_FAILED || pong == MAP_FAILED) return 22;
  struct timespec patience = {20, 0};
  while (__atomic_load_n(ping, __ATOMIC_ACQUIRE) != 1) {
    long rc = syscall(SYS_futex, ping, FUTEX_WAIT, 0, &patience, NULL, 0);
    if (rc != 0 && errno == ETIMEDOUT) return 23;
  }
  __atomic_store_n(ping, 0, __ATOMIC_RELEASE);  // the peer resets what it consumed
  __atomic_store_n(pong, 1, __ATOMIC_RELEASE);
  if (syscall(SYS_futex, pong, FUTEX_WAKE, INT_MAX, NULL, NULL, 0) < 0) return 24;
  return 0;
}

TEST_F(NamedEventTest, InteroperatesWithAPeerThatUsesTheRawLayout) {
  const std::string ping_name = Name("ping"), pong_name = Name("pong");
  CNamedEvent ping, pong;
  ASSERT_TRUE(ping.Create(ping_name));
  ASSERT_TRUE(pong.Create(pong_name));

  pid_t peer = ForkChild([&] { return PlainPeer(ping_name, pong_name); });
  ASSERT_GT(peer, 0);
  WaitUntilSleeping(peer);

  ASSERT_TRUE(ping.Set());
  EXPECT_EQ(pong.Wait(kPatience), WaitResult::Signalled);
  EXPECT_EQ(ExitCodeOf(peer), 0);
  EXPECT_EQ(ping.Wait(0ms), WaitResult::TimedOut);  // the peer's reset is seen here
}

}  // namespace
}  // namespace tessel
