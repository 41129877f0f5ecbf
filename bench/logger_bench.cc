// Records per second of the logger, in one process and with a second process writing into the
// same file at the same time, each beside a bare baseline: write() of the same record bytes to
// a file under a plain flock.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <benchmark/benchmark.h>

#include "logging/logger.h"
#include "platform/named_mutex.h"

namespace {
using namespace tessel;

struct BenchFolder {
  BenchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern + "/";
    mutex = "tessel-bench-mutex-" + std::to_string(::getpid());
  }
  ~BenchFolder() {
    CNamedMutex::Remove(mutex);
    std::filesystem::remove_all(path);
  }
  std::string path;
  std::string mutex;
};

LoggerOptions Options(const BenchFolder& folder) {
  LoggerOptions options;
  options.directory = folder.path;
  options.mutexName = folder.mutex;
  options.banners = false;
  return options;
}

void LogOnce(CLogger& logger, int64_t i) {
  logger.LogContext(Plain, "[bench] ", "Load operation started %d, %s",
                    {LogArg::Int64(i), LogArg::String("image.png")});
}

// The same bytes a record of LogOnce occupies, written the plainest way.
const std::string& RecordBytes() {
  static const std::string bytes =
      "2026.12.06 19:37:20, SID 0123ABCD:\r\n[bench] Load operation started 123456, "
      "image.png\r\n\r\n";
  return bytes;
}

void WriteUnderFlock(int fd) {
  ::flock(fd, LOCK_EX);
  benchmark::DoNotOptimize(::write(fd, RecordBytes().data(), RecordBytes().size()));
  ::flock(fd, LOCK_UN);
}

// Runs `loop` in a forked second process until the benchmark ends.
pid_t StartCompetitor(const std::function<void()>& loop) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (;;) loop();
  }
  return pid;
}

void StopCompetitor(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

void BM_Logger(benchmark::State& state) {
  BenchFolder folder;
  CLogger logger(Options(folder));
  pid_t competitor = -1;
  if (state.range(0) == 2) {
    competitor = StartCompetitor([&folder] {
      static CLogger other(Options(folder));
      LogOnce(other, 1);
    });
  }
  int64_t i = 0;
  for (auto _ : state) LogOnce(logger, ++i);
  if (competitor > 0) StopCompetitor(competitor);
  state.SetItemsProcessed(state.iterations());
}

void BM_BaselineFlockWrite(benchmark::State& state) {
  BenchFolder folder;
  const std::string file = folder.path + "baseline.log";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t competitor = -1;
  if (state.range(0) == 2) {
    competitor = StartCompetitor([&file] {
      static const int other = ::open(file.c_str(), O_WRONLY | O_APPEND);
      WriteUnderFlock(other);
    });
  }
  for (auto _ : state) WriteUnderFlock(fd);
  if (competitor > 0) StopCompetitor(competitor);
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}

// Argument: the number of processes writing at once.
BENCHMARK(BM_Logger)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_BaselineFlockWrite)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
