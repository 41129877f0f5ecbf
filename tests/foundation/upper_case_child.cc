// Uses the upper-case table for the first time from many threads at once, in many fresh
// processes so that a narrow race still shows. Exits 0 when in every round every thread saw the
// same, complete table and it was built exactly once.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "foundation/text.h"

namespace {

int RunRound() {
  constexpr int kThreads = 4;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<const uint8_t*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      seen[i] = tessel::UpperCaseTable();
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  // The starting thread takes part too, so that at least two threads enter at the same moment
  // even on a machine with few cores.
  go.store(true);
  const uint8_t* own = tessel::UpperCaseTable();
  for (auto& thread : threads) thread.join();
  seen.push_back(own);

  int failures = 0;
  for (const uint8_t* table : seen) {
    if (table != own || table == nullptr || table['q'] != 'Q' || table[0xFC] != 0xDC) ++failures;
  }
  if (tessel::UpperCaseTableBuilds() != 1) {
    std::fprintf(stderr, "built %u times\n", tessel::UpperCaseTableBuilds());
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main() {
  if (tessel::UpperCaseTableBuilds() != 0) {
    std::fputs("the table was built before the threads started\n", stderr);
    return 2;
  }
  for (int round = 0; round < 50; ++round) {
    pid_t pid = ::fork();
    if (pid < 0) return 3;
    if (pid == 0) ::_exit(RunRound());
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return 1;
  }
  return 0;
}
