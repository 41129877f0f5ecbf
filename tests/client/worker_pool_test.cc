// The worker pool with real workers: several threads at once, workers that die or hang, and a
// Close that comes while requests are under way.
#include "client/worker_pool.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}

// An opaque picture of one colour; rendered premultiplied BGRA, each pixel is b, g, r, 255.
std::string Plain(uint32_t width, uint32_t height, int r, int g, int b) {
  char fill[32];
  std::snprintf(fill, sizeof fill, "#%02x%02x%02x", r, g, b);
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(width) + "' height='" +
         std::to_string(height) + "'><rect width='100%' height='100%' fill='" + fill + "'/></svg>";
}

// Noise: seconds to render at 1500 x 1500.
const std::string kSlow =
    "<svg xmlns='http://www.w3.org/2000/svg' width='100' height='100'><filter id='f'>"
    "<feTurbulence baseFrequency='0.05' numOctaves='8'/></filter><rect width='100' "
    "height='100' filter='url(#f)'/></svg>";

bool AllPixels(const LoadedImage& image, int r, int g, int b) {
  const std::span<const std::byte> pixels = image.Pixels();
  for (size_t i = 0; i + 4 <= pixels.size(); i += 4) {
    if (pixels[i] != std::byte(b) || pixels[i + 1] != std::byte(g) ||
        pixels[i + 2] != std::byte(r) || pixels[i + 3] != std::byte{255})
      return false;
  }
  return !pixels.empty();
}

class WorkerPoolTest : public ::testing::Test {
 protected:
  WorkerPoolOptions Options(size_t workers) const {
    WorkerPoolOptions options;
    options.workers = workers;
    options.session.readablePaths = {files_ / ""};
    options.session.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", logs_ / "");
    return options;
  }
  // Nothing of the sessions named is left in /dev/shm.
  static void ExpectGone(const std::set<std::string>& ids) {
    for (const auto& entry : fs::directory_iterator("/dev/shm")) {
      for (const std::string& id : ids)
        EXPECT_EQ(entry.path().filename().string().find(id), std::string::npos) << id;
    }
  }

  CTempFolder files_, logs_;
};

TEST_F(WorkerPoolTest, ThreadsShareTheWorkersAndEachGetsItsOwnPixels) {
  EXPECT_EQ(WorkerPool().Size(), std::max(1u, std::thread::hardware_concurrency()));
  WorkerPool pool(Options(2));
  constexpr int kThreads = 4, kImages = 6;
  std::atomic<int> wrong{0};
  std::mutex mutex;
  std::set<pid_t> pids;
  std::set<std::string> ids;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kImages; ++i) {
        const int r = 40 * t, g = 30 * i, b = 200 - t - i;
        const uint32_t width = 10 + t, height = 5 + i;
        const std::string svg = Plain(width, height, r, g, b);
        // Both by path and by bytes, under ids that repeat across threads.
        Result<LoadedImage> image =
            i % 2 == 0 ? pool.Load(i, files_.Write(std::to_string(t * 100 + i) + ".svg", svg))
                       : pool.Load(i, Bytes(svg), "picture.svg");
        if (!image || !image->Copied() || image->PixelWidth() != width ||
            image->PixelHeight() != height || !AllPixels(image.Value(), r, g, b)) {
          ++wrong;
        }
        for (pid_t pid : pool.WorkerPids()) {
          std::lock_guard lock(mutex);
          pids.insert(pid);
        }
      }
      // A lease keeps a document between two renderings at two sizes.
      Result<WorkerPool::Lease> lease = pool.Acquire();
      if (!lease) return (void)++wrong;
      {
        std::lock_guard lock(mutex);
        ids.insert(lease->GetSession().Id());
      }
      const std::string svg = Plain(4, 4, 0, 0, 255);
      Result<LoadedImage> first = lease->Images().Load(9, Bytes(svg), "a.svg", {1, 1});
      Result<LoadedImage> second = lease->Images().Load(9, {}, "a.svg", {8, 8});
      if (!first || !second || second->PixelWidth() != 8 || !AllPixels(second.Value(), 0, 0, 255))
        ++wrong;
      (void)lease->Images().Free(9);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // Never more workers than the pool's size, and no worker replaced along the way.
  EXPECT_LE(pids.size(), 2u);
  EXPECT_LE(ids.size(), 2u);
  pool.Close();
  ExpectGone(ids);
}

TEST_F(WorkerPoolTest, AWorkerThatDiesOrHangsFailsItsRequestAndIsReplacedForTheNext) {
  WorkerPoolOptions options = Options(1);
  options.session.commandDeadline = std::chrono::milliseconds(300);
  WorkerPool pool(options);
  const std::string blue = Plain(3, 2, 0, 0, 255);
  ASSERT_TRUE(pool.Load(1, Bytes(blue), "a.svg"));
  const std::vector<pid_t> first = pool.WorkerPids();
  ASSERT_EQ(first.size(), 1u);

  // Killed while idle: the next request does not notice.
  CProcessWatch watch;
  ASSERT_TRUE(watch.Open(first[0]));
  ASSERT_TRUE(watch.SendSignal(SIGKILL));
  ASSERT_EQ(watch.WaitForEnd(std::chrono::seconds(10)), CProcessWatch::State::Ended);
  Result<LoadedImage> after = pool.Load(2, Bytes(blue), "a.svg");
  ASSERT_TRUE(after) << after.Error().Message();
  EXPECT_TRUE(AllPixels(after.Value(), 0, 0, 255));
  const std::vector<pid_t> second = pool.WorkerPids();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second[0], first[0]);

  // Killed under a lease: that request fails, the next one gets a new worker.
  {
    Result<WorkerPool::Lease> lease = pool.Acquire();
    ASSERT_TRUE(lease);
    ASSERT_EQ(::kill(lease->GetSession().WorkerPid(), SIGKILL), 0);
    Result<LoadedImage> failed = lease->Images().Load(3, Bytes(blue), "a.svg");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.Error().Kind(), ErrorKind::kWorkerEnded) << failed.Error().Message();
  }
  ASSERT_TRUE(pool.Load(4, Bytes(blue), "a.svg"));
  EXPECT_NE(pool.WorkerPids().at(0), second[0]);

  // Too slow: killed by the deadline, reported as such, not tried again.
  Result<LoadedImage> slow = pool.Load(5, Bytes(kSlow), "slow.svg", {1500, 1500});
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.Error().Kind(), ErrorKind::kTimedOut) << slow.Error().Message();
  Result<LoadedImage> next = pool.Load(6, Bytes(blue), "a.svg");
  ASSERT_TRUE(next) << next.Error().Message();
  EXPECT_TRUE(AllPixels(next.Value(), 0, 0, 255));
}

TEST_F(WorkerPoolTest, CloseKillsBusyWorkersAndRefusesWaitingAndLaterRequests) {
  WorkerPool pool(Options(1));
  std::atomic<bool> leased{false};
  std::string id;
  pid_t pid = 0;
  Status busy, waiting;
  std::thread renderer([&] {
    Result<WorkerPool::Lease> lease = pool.Acquire();
    if (!lease) return (void)(busy = lease.Error());
    id = lease->GetSession().Id();
    pid = lease->GetSession().WorkerPid();
    leased = true;
    Result<LoadedImage> image = lease->Images().Load(1, Bytes(kSlow), "slow.svg", {1500, 1500});
    busy = image ? Status() : image.Error();
  });
  while (!leased) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Waits for the one worker, which the renderer holds.
  std::thread waiter([&] {
    Result<LoadedImage> image = pool.Load(2, Bytes(Plain(2, 2, 1, 2, 3)), "a.svg");
    waiting = image ? Status() : image.Error();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pool.Close();
  renderer.join();
  waiter.join();
  EXPECT_EQ(busy.Kind(), ErrorKind::kWorkerEnded) << busy.Message();
  EXPECT_EQ(waiting.Kind(), ErrorKind::kNotRunning) << waiting.Message();
  // Reaped: the id names no process of ours any more.
  EXPECT_NE(::kill(pid, 0), 0);
  ExpectGone({id});
  Result<LoadedImage> later = pool.Load(3, Bytes(Plain(2, 2, 1, 2, 3)), "a.svg");
  ASSERT_FALSE(later);
  EXPECT_EQ(later.Error().Kind(), ErrorKind::kNotRunning);
  EXPECT_TRUE(pool.WorkerPids().empty());
}

}  // namespace
}  // namespace tessel
