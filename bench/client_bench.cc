// The client's costs against what the kernel makes possible:
//   - a Ping round trip through a real worker against a bare two-process futex ping-pong over
//     shared memory, both with the two processes on one CPU and on two CPUs;
//   - the cold start, from spawning Tessel to its first answered Ping, against spawning
//     /bin/true and waiting for it.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/raw_futex_peer.h"
#include "client/image_client.h"
#include "client/session.h"
#include "client/worker_pool.h"
#include "platform/process.h"

extern char** environ;

namespace tessel {
namespace {

// Placement of the two processes: 0 = where the scheduler likes, 1 = one CPU, 2 = two CPUs.
enum Placement { kFree = 0, kSameCpu = 1, kOtherCpus = 2 };

// The first two CPUs we may run on; -1 where there is none.
std::pair<int, int> TwoCpus() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  std::pair<int, int> cpus{-1, -1};
  if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (cpus.first < 0) {
      cpus.first = cpu;
    } else {
      cpus.second = cpu;
      break;
    }
  }
  return cpus;
}

bool Pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(pid, sizeof(set), &set) == 0;
}

// Pins us and `peer` after `placement` for the scope's life; restores our own mask afterwards.
class CPlacement {
 public:
  CPlacement(benchmark::State& state, pid_t peer) {
    ::sched_getaffinity(0, sizeof(saved_), &saved_);
    const auto placement = static_cast<Placement>(state.range(0));
    if (placement == kFree) return;
    const auto [first, second] = TwoCpus();
    const int other = placement == kSameCpu ? first : second;
    if (first < 0 || other < 0 || !Pin(0, first) || !Pin(peer, other))
      state.SkipWithError("cannot place the processes on the CPUs asked for");
  }
  ~CPlacement() { ::sched_setaffinity(0, sizeof(saved_), &saved_); }
  CPlacement(const CPlacement&) = delete;
  CPlacement& operator=(const CPlacement&) = delete;

 private:
  cpu_set_t saved_;
};

void NamePlacements(benchmark::internal::Benchmark* bench) {
  bench->ArgName("placement")->Arg(kFree)->Arg(kSameCpu)->Arg(kOtherCpus);
}

// A private log folder for the workers the benchmarks start, removed at exit.
class CLogFolder {
 public:
  CLogFolder() {
    std::string pattern = TempFolder().append("tessel-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern.append("/");
  }
  ~CLogFolder() {
    if (path_.empty()) return;
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  CLogFolder(const CLogFolder&) = delete;
  CLogFolder& operator=(const CLogFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

SessionOptions WorkerOptions() {
  static CLogFolder logs;
  SessionOptions options;
  if (!logs.Path().empty())
    options.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", logs.Path());
  return options;
}

void BM_SessionPing(benchmark::State& state) {
  Session session;
  Status started = session.Start(WorkerOptions());
  if (!started) {
    state.SkipWithError(started.Message().c_str());
    return;
  }
  CPlacement placement(state, session.WorkerPid());
  for (auto _ : state) {
    if (Status ping = session.Ping(); !ping) {
      state.SkipWithError(ping.Message().c_str());
      break;
    }
  }
}
BENCHMARK(BM_SessionPing)->Apply(NamePlacements)->UseRealTime();

void BM_RawFutexPingPong(benchmark::State& state) {
  CRawFutexPeer peer;
  if (!peer.Valid()) {
    state.SkipWithError("cannot start the peer");
    return;
  }
  CPlacement placement(state, peer.Pid());
  for (auto _ : state) peer.RoundTrip();
}
BENCHMARK(BM_RawFutexPingPong)->Apply(NamePlacements)->UseRealTime();

// The median start, and the least disturbed one: on a shared machine the mean carries other
// processes' work, and a few slow starts move it far.
void ReportStarts(benchmark::State& state, std::vector<double> samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2] * 1e6;
  state.counters["best_us"] = samples.front() * 1e6;
}

void BM_ColdStartToFirstPing(benchmark::State& state) {
  const SessionOptions options = WorkerOptions();
  std::vector<double> samples;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    Session session;
    Status ready = session.Start(options);
    if (ready) ready = session.Ping();
    const auto end = std::chrono::steady_clock::now();
    if (!ready) {
      state.SkipWithError(ready.Message().c_str());
      break;
    }
    const double seconds = std::chrono::duration<double>(end - begin).count();
    samples.push_back(seconds);
    state.SetIterationTime(seconds);
    // Stopping the worker is not part of the start.
  }
  ReportStarts(state, samples);
}
BENCHMARK(BM_ColdStartToFirstPing)->UseManualTime()->Unit(benchmark::kMicrosecond);

// From nothing to the pixels of a small PNG: the start, the codec's opening and one Load.
void BM_ColdStartToFirstPng(benchmark::State& state) {
  static const unsigned char kPng[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
      0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f,
      0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8,
      0xdf, 0xc0, 0xf0, 0x1f, 0x00, 0x06, 0x80, 0x02, 0x7f, 0x10, 0x4c, 0x1b, 0xe1, 0x00, 0x00,
      0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  const SessionOptions options = WorkerOptions();
  std::vector<double> samples;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    Session session;
    Status ready = session.Start(options);
    if (ready) {
      ImageSession images(session);
      Result<LoadedImage> image = images.Load(1, std::as_bytes(std::span(kPng)), "dot.png");
      if (!image) ready = image.Error();
      else if (image->PixelWidth() != 1) ready = Status(ErrorKind::kBadOutput, "not 1 x 1");
    }
    const auto end = std::chrono::steady_clock::now();
    if (!ready) {
      state.SkipWithError(ready.Message().c_str());
      break;
    }
    const double seconds = std::chrono::duration<double>(end - begin).count();
    samples.push_back(seconds);
    state.SetIterationTime(seconds);
  }
  ReportStarts(state, samples);
}
BENCHMARK(BM_ColdStartToFirstPng)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Both kinds of start alternate in one loop, so that both see the same machine; what the
// confinement adds is the difference of the medians.
void BM_ColdStartConfinedVsUnconfined(benchmark::State& state) {
  SessionOptions confined = WorkerOptions(), unconfined = WorkerOptions();
  unconfined.confinement = ConfinementMode::kOff;
  std::vector<double> confinedTimes, unconfinedTimes;
  for (auto _ : state) {
    for (auto [options, times] :
         {std::pair{&unconfined, &unconfinedTimes}, std::pair{&confined, &confinedTimes}}) {
      const auto begin = std::chrono::steady_clock::now();
      Session session;
      Status ready = session.Start(*options);
      if (ready) ready = session.Ping();
      const auto end = std::chrono::steady_clock::now();
      if (!ready) {
        state.SkipWithError(ready.Message().c_str());
        return;
      }
      times->push_back(std::chrono::duration<double>(end - begin).count());
    }
    state.SetIterationTime(confinedTimes.back());
  }
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
  };
  const double c = median(confinedTimes), u = median(unconfinedTimes);
  state.counters["confined_us"] = c * 1e6;
  state.counters["unconfined_us"] = u * 1e6;
  state.counters["added_us"] = (c - u) * 1e6;
}
BENCHMARK(BM_ColdStartConfinedVsUnconfined)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMicrosecond);

void BM_SpawnTrue(benchmark::State& state) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot spawn /bin/true");
      break;
    }
    ::waitpid(pid, nullptr, 0);
  }
}
BENCHMARK(BM_SpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A batch of SVG documents through a pool of one worker and a pool of two, as `tessel render -j`
// spreads it: one thread more than workers, each taking the next document. Both pools alternate
// in one loop, so that both see the same machine; the speed-up is the ratio of the medians.
std::vector<std::string> SvgBatch(size_t count) {
  std::vector<std::string> batch;
  for (size_t i = 0; i < count; ++i) {
    std::string shapes;
    for (int c = 0; c < 40; ++c) {
      shapes += "<circle cx='" + std::to_string((c * 37 + i * 11) % 256) + "' cy='" +
                std::to_string((c * 53) % 256) + "' r='" + std::to_string(20 + c % 30) +
                "' fill='#" + std::to_string(100 + (c * 7 + i) % 900) + "' opacity='0.6'/>";
    }
    batch.push_back(
        "<svg xmlns='http://www.w3.org/2000/svg' width='256' height='256' viewBox='0 0 256 "
        "256'><filter id='b'><feGaussianBlur stdDeviation='3'/></filter><g filter='url(#b)'>" +
        shapes + "</g></svg>");
  }
  return batch;
}

// Seconds for the whole batch; negative when a document failed.
double RenderBatch(WorkerPool& pool, const std::vector<std::string>& batch) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (size_t t = 0; t < pool.Size() + 1; ++t) {
    threads.emplace_back([&] {
      for (size_t i = next++; i < batch.size(); i = next++) {
        const std::string& svg = batch[i];
        if (!pool.Load(i + 1, std::as_bytes(std::span(svg)), "batch.svg")) failed = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto end = std::chrono::steady_clock::now();
  return failed ? -1 : std::chrono::duration<double>(end - begin).count();
}

void BM_SvgBatchOneVsTwoWorkers(benchmark::State& state) {
  const std::vector<std::string> batch = SvgBatch(32);
  WorkerPool one({.workers = 1, .session = WorkerOptions(), .start = {}});
  WorkerPool two({.workers = 2, .session = WorkerOptions(), .start = {}});
  // The workers start outside the measurement.
  if (RenderBatch(one, batch) < 0 || RenderBatch(two, batch) < 0) {
    state.SkipWithError("a document of the batch failed");
    return;
  }
  std::vector<double> oneTimes, twoTimes;
  for (auto _ : state) {
    const double a = RenderBatch(one, batch), b = RenderBatch(two, batch);
    if (a < 0 || b < 0) {
      state.SkipWithError("a document of the batch failed");
      return;
    }
    oneTimes.push_back(a), twoTimes.push_back(b);
    state.SetIterationTime(b);
  }
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
  };
  const double m1 = median(oneTimes), m2 = median(twoTimes);
  state.counters["one_worker_ms"] = m1 * 1e3;
  state.counters["two_workers_ms"] = m2 * 1e3;
  state.counters["speedup"] = m2 > 0 ? m1 / m2 : 0;
}
BENCHMARK(BM_SvgBatchOneVsTwoWorkers)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
