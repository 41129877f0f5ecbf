#include "platform/named_mutex.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapping.h"
#include "platform/unique_fd.h"

namespace tessel {
namespace {

using namespace std::chrono_literals;
using WaitResult = CNamedMutex::WaitResult;

// A page shared with forked children, for counters and start barriers.
template <typename T>
T* SharedPage(CMapping& owner) {
  void* address = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return nullptr;
  owner = CMapping(address, 4096);
  return new (address) T();
}

pid_t Spawn(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// The child's exit code, or -1 when it did not exit normally.
int ExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void SpinUntil(const std::atomic<int>& value, int wanted) {
  while (value.load() < wanted) std::this_thread::yield();
}

class NamedMutexTest : public testing::Test {
 protected:
  void TearDown() override { CNamedMutex::Remove(name_); }

  // Every entry of /dev/shm that starts with our name; only the name itself may be there.
  std::vector<std::string> ShmEntriesWithOurPrefix() const {
    std::vector<std::string> found;
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) return found;
    while (dirent* entry = readdir(dir)) {
      std::string entryName = entry->d_name;
      if (entryName.starts_with(name_)) found.push_back(entryName);
    }
    closedir(dir);
    return found;
  }

  std::string name_ = "tessel-test-mutex-" + std::to_string(getpid()) + "-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(NamedMutexTest, ConcurrentCreatorsEndUpOnOneOwnerOnlyMutex) {
  constexpr int kChildren = 8;
  struct Barrier {
    std::atomic<int> ready, go, created, held;
  };
  CMapping page;
  Barrier* barrier = SharedPage<Barrier>(page);
  ASSERT_NE(barrier, nullptr);

  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(Spawn([&] {
      barrier->ready++;
      SpinUntil(barrier->go, 1);
      umask(0277);  // the requested mode must hold regardless
      CNamedMutex mutex;
      bool created = mutex.Create(name_, 0600);
      barrier->created++;
      if (!created) return 1;
      SpinUntil(barrier->held, 1);
      // The parent holds the mutex of the published name: a creator that ended up with a mutex
      // of its own would be granted it here.
      return mutex.Wait(200ms) == WaitResult::TimedOut ? 0 : 2;
    }));
  }
  SpinUntil(barrier->ready, kChildren);
  barrier->go = 1;
  SpinUntil(barrier->created, kChildren);

  CNamedMutex parent;
  ASSERT_TRUE(parent.Open(name_)) << errno;
  ASSERT_EQ(parent.Wait(10s), WaitResult::Granted);
  barrier->held = 1;
  for (pid_t child : children) EXPECT_EQ(ExitCode(child), 0);
  EXPECT_TRUE(parent.Release());

  struct stat st;
  ASSERT_EQ(stat(("/dev/shm/" + name_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ShmEntriesWithOurPrefix(), std::vector<std::string>{name_});
}

TEST_F(NamedMutexTest, IncrementsFromManyProcessesAreNotLost) {
  constexpr int kChildren = 4;
  constexpr int kIterations = 2000;
  CNamedMutex creator;
  ASSERT_TRUE(creator.Create(name_, 0600)) << errno;
  CMapping page;
  auto* counter = SharedPage<volatile int>(page);
  ASSERT_NE(counter, nullptr);

  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(Spawn([&] {
      CNamedMutex mutex;
      if (!mutex.Open(name_)) return 1;
      for (int n = 0; n < kIterations; ++n) {
        if (mutex.Wait(10s) != WaitResult::Granted) return 2;
        int value = *counter;
        std::this_thread::yield();  // invite a lost update if the mutex does not exclude
        *counter = value + 1;
        if (!mutex.Release()) return 3;
      }
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(ExitCode(child), 0);
  EXPECT_EQ(*counter, kChildren * kIterations);
}

TEST_F(NamedMutexTest, HolderKilledLeavesItAbandonedAndUsable) {
  CNamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name_, 0600)) << errno;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  CUniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

  pid_t holder = Spawn([&] {
    CNamedMutex own;
    if (!own.Open(name_) || own.Wait(10s) != WaitResult::Granted) return 1;
    char done = 1;
    if (write(writeEnd.Get(), &done, 1) != 1) return 2;
    pause();
    return 3;
  });
  char done = 0;
  ASSERT_EQ(read(readEnd.Get(), &done, 1), 1);

  EXPECT_EQ(mutex.Wait(50ms), WaitResult::TimedOut);
  ASSERT_EQ(kill(holder, SIGKILL), 0);
  EXPECT_EQ(ExitCode(holder), -1);

  EXPECT_EQ(mutex.Wait(10s), WaitResult::Abandoned);
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(mutex.Wait(10s), WaitResult::Granted);
  EXPECT_TRUE(mutex.Release());
}

TEST_F(NamedMutexTest, OnlyTheHoldingThreadCanReleaseOrRelock) {
  CNamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name_, 0600)) << errno;
  ASSERT_EQ(mutex.Wait(1s), WaitResult::Granted);
  errno = 0;
  EXPECT_EQ(mutex.Wait(1s), WaitResult::Failed);  // relocking must not hang
  EXPECT_EQ(errno, EDEADLK);

  std::thread([&] {
    errno = 0;
    EXPECT_FALSE(mutex.Release());
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(mutex.Wait(20ms), WaitResult::TimedOut);
  }).join();

  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());
}

TEST_F(NamedMutexTest, OpenAndCreateRefuseMissingOrForeignObjects) {
  CNamedMutex missing;
  errno = 0;
  EXPECT_FALSE(missing.Open(name_));
  EXPECT_EQ(errno, ENOENT);

  struct Case {
    const char* what;
    mode_t mode;
    off_t size;
    bool foreignOwner;
    int error;
  };
  std::vector<Case> cases = {{"readable by others", 0644, 4096, false, EACCES},
                             {"writable by group", 0620, 4096, false, EACCES},
                             {"too small", 0600, 64, false, EINVAL},
                             {"never initialised", 0600, 4096, false, EINVAL}};
  if (geteuid() == 0) cases.push_back({"owned by someone else", 0600, 4096, true, EACCES});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      CUniqueFd fd(shm_open(("/" + name_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
      ASSERT_TRUE(fd.Valid()) << errno;
      ASSERT_EQ(fchmod(fd.Get(), c.mode), 0);
      ASSERT_EQ(ftruncate(fd.Get(), c.size), 0);
      if (c.foreignOwner) {
        ASSERT_EQ(fchown(fd.Get(), 65534, 65534), 0);
      }
    }
    CNamedMutex mutex;
    errno = 0;
    EXPECT_FALSE(mutex.Open(name_));
    EXPECT_EQ(errno, c.error);
    // Creating must neither replace the squatter nor take it over.
    errno = 0;
    EXPECT_FALSE(mutex.Create(name_, 0600));
    EXPECT_EQ(errno, c.error);
    EXPECT_FALSE(mutex.IsOpen());
    EXPECT_EQ(ShmEntriesWithOurPrefix(), std::vector<std::string>{name_});
    ASSERT_TRUE(CNamedMutex::Remove(name_));
  }
}

}  // namespace
}  // namespace tessel
