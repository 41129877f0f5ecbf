#include "platform/named_event.h"

#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/platform/shared_objects.h"

namespace tessel {

using WaitResult = CNamedEvent::WaitResult;

// Long enough that a missed wake-up shows as a failure rather than a pass.
constexpr auto kPatience = 20s;

class NamedEventTest : public ::testing::Test {
 protected:
  void TearDown() override { CNamedEvent::Unlink(name_), CNamedEvent::Unlink(second_); }
  const std::string name_ = test::UniqueName(), second_ = test::UniqueName("2");
};

TEST_F(NamedEventTest, ManualResetAndTimeoutAcrossHandles) {
  CNamedEvent creator, opener;
  EXPECT_EQ(opener.Wait(0ms), WaitResult::Failed);
  ASSERT_TRUE(creator.Create(name_));
  EXPECT_FALSE(CNamedEvent().Create(name_));
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(opener.Open(name_));
  EXPECT_EQ(std::filesystem::status("/dev/shm/" + name_).permissions(),
            std::filesystem::perms(0600));

  EXPECT_EQ(opener.Wait(30ms), WaitResult::TimedOut);
  ASSERT_TRUE(creator.Set());  // stays set for every wait, through either handle, until reset
  EXPECT_EQ(opener.Wait(kPatience), WaitResult::Signalled);
  EXPECT_EQ(creator.Wait(0ms), WaitResult::Signalled);
  ASSERT_TRUE(opener.Reset());
  EXPECT_EQ(creator.Wait(10ms), WaitResult::TimedOut);

  ASSERT_TRUE(test::MakeRawObject(second_, 2, 0600));  // too small for the state word
  EXPECT_FALSE(CNamedEvent().Open(second_));
  EXPECT_EQ(errno, EINVAL);
}

// A peer that knows nothing but the documented layout: raw shm_open, mmap and futex calls.
static void RawPeer(const std::string& ping_name, const std::string& pong_name) {
  int ping_fd = shm_open(("/" + ping_name).c_str(), O_RDWR, 0);
  int pong_fd = shm_open(("/" + pong_name).c_str(), O_RDWR, 0);
  ASSERT_TRUE(ping_fd >= 0 && pong_fd >= 0) << errno;
  uint32_t* ping = (uint32_t*)mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, ping_fd, 0);
  uint32_t* pong = (uint32_t*)mmap(NULL, 4, PROT_READ | PROT_WRITE, MAP_SHARED, pong_fd, 0);
  ASSERT_TRUE(ping != MAP_FAILED && pong != MAP_FAILED) << errno;
  struct timespec patience = {20, 0};
  while (__atomic_load_n(ping, __ATOMIC_ACQUIRE) != 1) {
    long rc = syscall(SYS_futex, ping, FUTEX_WAIT, 0, &patience, NULL, 0);
    ASSERT_FALSE(rc != 0 && errno == ETIMEDOUT) << "the ping never came";
  }
  __atomic_store_n(pong, 1, __ATOMIC_RELEASE);
  EXPECT_GE(syscall(SYS_futex, pong, FUTEX_WAKE, INT_MAX, NULL, NULL, 0), 0) << errno;
}

// Lets a child fall asleep in its wait, so that Set has to wake it (giving up only weakens a test).
static void WaitUntilSleeping(pid_t pid) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    std::string line;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
    size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') return;
    std::this_thread::sleep_for(5ms);
  }
}

TEST_F(NamedEventTest, SetWakesWaitersInOtherProcessesAndARawPeer) {
  CNamedEvent ping, pong;
  ASSERT_TRUE(ping.Create(name_));
  ASSERT_TRUE(pong.Create(second_));
  std::vector<std::unique_ptr<test::CForkedChild>> children;
  children.push_back(std::make_unique<test::CForkedChild>([&] { RawPeer(name_, second_); }));
  for (int i = 0; i < 3; ++i) {
    children.push_back(std::make_unique<test::CForkedChild>([&] {
      // Wait looks at the word once more when its time runs out: only an early return proves
      // that Set woke this process.
      const auto give_up = std::chrono::steady_clock::now() + kPatience;
      CNamedEvent mine;
      ASSERT_TRUE(mine.Open(name_)) << errno;
      EXPECT_EQ(mine.Wait(kPatience), WaitResult::Signalled);
      EXPECT_LT(std::chrono::steady_clock::now(), give_up);
    }));
  }
  for (const auto& child : children) WaitUntilSleeping(child->Pid());
  ASSERT_TRUE(ping.Set());
  EXPECT_EQ(pong.Wait(kPatience), WaitResult::Signalled);
  for (const auto& child : children) EXPECT_EQ(child->Wait(), 0);
}

}  // namespace tessel
