// A separate program for the logging tests.
//   child_log_writer write <folder> <mutex> <count> <label>
//     logs <count> records "<label> record <i> <padding>" through its own logger.
//   child_log_writer hold <mutex>
//     takes the logging mutex, prints "held" and sleeps until it is killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logging/logger.h"

using namespace tessel;

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "write") == 0) {
    LoggerOptions options;
    options.directory = argv[2];
    options.mutexName = argv[3];
    options.banners = false;
    CLogger logger(options);
    const int count = std::atoi(argv[4]);
    std::string padding;
    for (int i = 0; i < count; ++i) {
      // Records of varying length make torn writes visible.
      padding.assign(static_cast<size_t>((i * 37) % 500), 'p');
      logger.Log(Plain, "%s record %d %s",
                 {LogArg::String(argv[5]), LogArg::Int32(i), LogArg::String(padding.c_str())});
    }
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
    CNamedMutex mutex;
    if (!mutex.Open(argv[2]) && !mutex.Create(argv[2], 0600)) return 2;
    if (mutex.Wait(std::chrono::milliseconds(10000)) == CNamedMutex::WaitResult::TimedOut) return 3;
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) ::pause();
  }
  std::fprintf(stderr, "usage: child_log_writer write|hold ...\n");
  return 1;
}
