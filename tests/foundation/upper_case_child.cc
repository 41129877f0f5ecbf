// Threads use the upper-case table first at once, in a fresh process. Prints the upper case of
// 'q' and how often the table had been built before and after ("Q 0 1" when all is well).
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "foundation/text.h"

int main() {
  const unsigned before = tessel::UpperCaseTableBuilds();
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
  std::printf("%c %u %u\n", table[static_cast<unsigned char>('q')], before,
              tessel::UpperCaseTableBuilds());
  return 0;
}
