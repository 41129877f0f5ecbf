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
#include <vector>

#include "bench/raw_futex_peer.h"
#include "client/session.h"
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

void BM_ColdStartToFirstPing(benchmark::State& state) {
  const SessionOptions options = WorkerOptions();
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
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
    // Stopping the worker is not part of the start.
  }
}
BENCHMARK(BM_ColdStartToFirstPing)->UseManualTime()->Unit(benchmark::kMicrosecond);

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

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
