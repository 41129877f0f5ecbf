// Shared memory that runs out: in a mount namespace of its own, /dev/shm is a small tmpfs. Input
// or output that does not fit is an error with a sentence; no process takes SIGBUS for it.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <string>
#include <vector>

#include "client/image_client.h"
#include "tests/support/forked_child.h"

namespace tessel {
namespace {

// Fails unless `status` failed with the shortage sentence.
void ExpectShortage(const Status& status, const char* what) {
  EXPECT_EQ(status.Message().find("not enough shared memory: /dev/shm has "), 0u)
      << what << ": " << (status.Ok() ? "succeeded" : status.Message());
}

// In a child's own mount namespace, /dev/shm becomes a tmpfs of `size`; false when it cannot.
bool MountSmallSharedMemory(const char* size) {
  const std::string options = std::string("size=") + size + ",mode=1777";
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tessel-test", "/dev/shm", "tmpfs", 0, options.c_str()) == 0;
}

TEST(SharedMemoryTest, ShortageIsAnErrorAndNeitherProcessFaults) {
  test::RunInChild([] {
    if (!MountSmallSharedMemory("6m")) GTEST_SKIP() << "cannot mount a small /dev/shm here";
    Session session;
    const Status started = session.Start();
    ASSERT_TRUE(started.Ok()) << started.Message();
    ImageSession images(session);
    // Input: 5 MiB do not fit beside the 2 MiB main mapping.
    const std::vector<std::byte> input(5 << 20, std::byte{1});
    ExpectShortage(images.Load(1, input, "big.png").Error(), "input");
    // Output: a 1200 x 1000 rendering needs 4.8 MB of room the client cannot give.
    const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>";
    ExpectShortage(images.Load(2, std::as_bytes(std::span(svg)), "small.svg", {1200, 1000}).Error(),
                   "output");
    // And the session goes on with what fits.
    Result<LoadedImage> fits = images.Load(3, std::as_bytes(std::span(svg)), "small.svg");
    EXPECT_TRUE(fits.Ok()) << fits.Error().Message();
  });
}

// The main mapping's pages are taken while the worker starts: a /dev/shm without room for them
// still fails the start with the sentence, and no worker is left behind.
TEST(SharedMemoryTest, NoRoomForTheMainMappingFailsTheStart) {
  test::RunInChild([] {
    if (!MountSmallSharedMemory("1m")) GTEST_SKIP() << "cannot mount a small /dev/shm here";
    Session session;
    ExpectShortage(session.Start(), "start");
    EXPECT_FALSE(session.Running());
    EXPECT_TRUE(session.WorkerPid() == 0 || ::kill(session.WorkerPid(), 0) != 0);
  });
}

}  // namespace
}  // namespace tessel
