// Shared memory that runs out: in a mount namespace of its own, /dev/shm is a small tmpfs. Input
// or output that does not fit is an error with a sentence; no process takes SIGBUS for it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/image_client.h"
#include "tests/platform/child_process.h"

namespace tessel {
namespace {

constexpr int kSkipped = 77;

// 1 when `status` failed with the shortage sentence; prints what it was otherwise.
int ShortageSeen(const Status& status, const char* what) {
  if (status.Message().find("not enough shared memory: /dev/shm has ") == 0) return 0;
  std::fprintf(stderr, "%s: %s\n", what, status.Ok() ? "succeeded" : status.Message().c_str());
  return 1;
}

int RunWithSmallSharedMemory() {
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tessel-test", "/dev/shm", "tmpfs", 0, "size=6m,mode=1777") != 0) {
    return kSkipped;
  }
  Session session;
  if (Status started = session.Start(); !started) {
    std::fprintf(stderr, "start: %s\n", started.Message().c_str());
    return 2;
  }
  ImageSession images(session);
  // Input: 5 MiB do not fit beside the 2 MiB main mapping.
  const std::vector<std::byte> input(5 << 20, std::byte{1});
  int failures = ShortageSeen(images.Load(1, input, "big.png").Error(), "input");
  // Output: a 1200 x 1000 rendering needs 4.8 MB of room the client cannot give.
  const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>";
  failures += ShortageSeen(
      images.Load(2, std::as_bytes(std::span(svg)), "small.svg", {1200, 1000}).Error(), "output");
  // And the session goes on with what fits.
  Result<LoadedImage> fits = images.Load(3, std::as_bytes(std::span(svg)), "small.svg");
  if (!fits.Ok()) std::fprintf(stderr, "after: %s\n", fits.Error().Message().c_str());
  return failures + (fits.Ok() ? 0 : 4);
}

TEST(SharedMemoryTest, ShortageIsAnErrorAndNeitherProcessFaults) {
  const int code = test::ExitCode(test::Fork(RunWithSmallSharedMemory));
  if (code == kSkipped) GTEST_SKIP() << "cannot mount a small /dev/shm in a namespace here";
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace tessel
