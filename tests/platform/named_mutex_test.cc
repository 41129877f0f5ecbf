#include "platform/named_mutex.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <tuple>

#include "platform/mapping.h"
#include "tests/platform/shared_objects.h"

namespace tessel {

using WaitResult = CNamedMutex::WaitResult;

static void SpinUntil(const std::atomic<int>& value, int wanted) {
  while (value.load() < wanted) std::this_thread::yield();
}

class NamedMutexTest : public testing::Test {
 protected:
  void TearDown() override { CNamedMutex::Remove(name_); }
  long Entries() const {  // objects under our name: no helper may be left beside it
    std::filesystem::directory_iterator shm("/dev/shm");
    auto ours = [&](const auto& e) { return e.path().filename().string().starts_with(name_); };
    return std::count_if(begin(shm), end(shm), ours);
  }
  const std::string name_ = test::UniqueName();
};

TEST_F(NamedMutexTest, ConcurrentCreatorsShareOneMutexAndLoseNoIncrements) {
  constexpr int kChildren = 6, kIterations = 1000;
  struct Shared {
    std::atomic<int> ready, created, held, checked;
    volatile int counter;
  };
  CMapping page(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0),
                4096);
  Shared* shared = new (page.Address()) Shared();
  std::vector<std::unique_ptr<test::CForkedChild>> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(std::make_unique<test::CForkedChild>([&] {
      shared->ready++;
      SpinUntil(shared->ready, kChildren);
      umask(0277);  // the requested mode must hold regardless
      CNamedMutex mutex;
      bool created = mutex.Create(name_, 0600);
      shared->created++;
      SpinUntil(shared->held, 1);
      // The parent holds the published mutex: a creator left with one of its own is granted it.
      bool alone = created && mutex.Wait(200ms) == WaitResult::TimedOut;
      shared->checked++;
      ASSERT_TRUE(alone) << "created " << created;
      for (int n = 0; n < kIterations; ++n) {
        ASSERT_EQ(mutex.Wait(10s), WaitResult::Granted) << n;
        int value = shared->counter;
        std::this_thread::yield();  // invite a lost update if the mutex does not exclude
        shared->counter = value + 1;
        ASSERT_TRUE(mutex.Release()) << n;
      }
    }));
  }
  SpinUntil(shared->created, kChildren);
  CNamedMutex parent;
  ASSERT_TRUE(parent.Open(name_)) << errno;
  ASSERT_EQ(parent.Wait(10s), WaitResult::Granted);
  shared->held = 1;
  SpinUntil(shared->checked, kChildren);
  EXPECT_TRUE(parent.Release());
  for (const auto& child : children) EXPECT_EQ(child->Wait(), 0);
  EXPECT_EQ(shared->counter, kChildren * kIterations);
  EXPECT_EQ(std::filesystem::status("/dev/shm/" + name_).permissions(),
            std::filesystem::perms(0600));
  EXPECT_EQ(Entries(), 1);
}

TEST_F(NamedMutexTest, HolderKilledLeavesItAbandonedAndUsable) {
  CNamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name_, 0600)) << errno;
  test::CForkedChild holder([&] {
    CNamedMutex own;
    ASSERT_TRUE(own.Open(name_));
    ASSERT_EQ(own.Wait(10s), WaitResult::Granted);
    ::raise(SIGKILL);
  });
  const int status = holder.Wait();  // killed while holding it
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << test::DescribeStatus(status);
  EXPECT_EQ(mutex.Wait(10s), WaitResult::Abandoned);
  EXPECT_TRUE(mutex.Release());
  ASSERT_EQ(mutex.Wait(10s), WaitResult::Granted);

  EXPECT_EQ(mutex.Wait(1s), WaitResult::Failed);  // relocking must fail rather than hang
  EXPECT_EQ(errno, EDEADLK);
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());
}

TEST_F(NamedMutexTest, OpenAndCreateRefuseMissingOrForeignObjects) {
  EXPECT_FALSE(CNamedMutex().Open(name_));
  EXPECT_EQ(errno, ENOENT);
  const std::tuple<mode_t, off_t, int, bool> cases[] = {{0644, 4096, EACCES, false},
                                                        {0620, 4096, EACCES, false},
                                                        {0600, 64, EINVAL, false},
                                                        {0600, 4096, EINVAL, false},
                                                        {0600, 4096, EACCES, true}};
  for (auto [mode, size, error, foreign] : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << mode << " " << size << " " << foreign);
    ASSERT_TRUE(test::MakeRawObject(name_, size, mode));
    if (foreign && (geteuid() != 0 || chown(("/dev/shm/" + name_).c_str(), 65534, 65534) != 0))
      continue;
    CNamedMutex mutex;
    errno = 0;
    EXPECT_FALSE(mutex.Open(name_));
    EXPECT_EQ(errno, error);
    errno = 0;  // creating must neither replace the squatter nor take it over
    EXPECT_FALSE(mutex.Create(name_, 0600));
    EXPECT_EQ(errno, error);
    EXPECT_FALSE(mutex.IsOpen());
    EXPECT_EQ(Entries(), 1);
    ASSERT_TRUE(CNamedMutex::Remove(name_));
  }
}

}  // namespace tessel
