// Threads use the upper-case table first at once, in many fresh processes; each builds it once.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/text.h"

int main() {
  if (tessel::UpperCaseTableBuilds() != 0) return 2;
  for (int round = 0; round < 50; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      std::atomic<int> ready{0};
      std::vector<std::thread> threads;
      for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
          for (++ready; ready > 0;) {
          }
          tessel::UpperCaseTable();
        });
      }
      while (ready < 4) std::this_thread::yield();
      ready = 0;  // go: this thread takes part too, so two arrive together even on few cores
      const uint8_t* table = tessel::UpperCaseTable();
      for (auto& thread : threads) thread.join();
      const bool built = table[static_cast<unsigned char>('q')] == 'Q';
      ::_exit(built && tessel::UpperCaseTableBuilds() == 1 ? 0 : 1);
    }
    if (int status = 0; ::waitpid(pid, &status, 0) != pid || status != 0) return 1;
  }
  return 0;
}
