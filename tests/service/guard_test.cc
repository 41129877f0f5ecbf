// The service run inside a forked child of the test, with image sides that fail in ways the
// worker must survive only by ending at once.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "logging/logger.h"
#include "service/entry_point.h"
#include "tests/foundation/temp_folder.h"
#include "worker_session_support.h"

namespace tessel::test {
namespace {

constexpr uint32_t kFault = 100;
constexpr uint32_t kThrow = 101;
constexpr uint32_t kPublishedFolder = 102;

class CHostileImageSide final : public IImageSide {
 public:
  bool RunImageCommand(const CImageCommand& command) override {
    if (command.code == kFault) {
      // A real fault, on a page that no sanitizer considers ours to check.
      void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      *static_cast<volatile int*>(page) = 1;
    }
    if (command.code == kThrow) throw std::runtime_error("escapes");
    if (command.code == kPublishedFolder) {
      const char* folder = std::getenv(kLogDirectoryVariable);
      const std::string text = folder != nullptr ? folder : "";
      const Block blocks[] = {
          Block(reinterpret_cast<const unsigned char*>(text.data()), text.size())};
      return command.output.WriteOutput(0, blocks);
    }
    return false;
  }
};

// Forks a child that serves the session with the hostile image side.
void StartInProcess(CWorkerSession& session) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(GuardedServiceMain(session.Id(), [] { return std::make_unique<CHostileImageSide>(); }));
  }
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(session.Adopt(pid));
}

TEST(GuardTest, EscapingFailuresEndTheWorkerWithExitCode100) {
  for (uint32_t command : {kFault, kThrow}) {
    CWorkerSession session;
    StartInProcess(session);
    ASSERT_TRUE(session.Send(kCommandPing));
    EXPECT_FALSE(session.Send(command)) << command;
    EXPECT_EQ(session.WaitExit(), kEscapedFailureExitCode) << command;
  }
}

TEST(GuardTest, LoggingModePublishesTheFolderForLaterPrograms) {
  CTempFolder folder;
  CWorkerSession session;
  StartInProcess(session);
  std::u16string wide(folder.Path().begin(), folder.Path().end());
  const std::string block(reinterpret_cast<const char*>(wide.c_str()),
                          (wide.size() + 1) * sizeof(char16_t));
  session.WriteInput(0, {block});
  ASSERT_TRUE(session.Send(kCommandSetLoggingMode, 1));
  ASSERT_TRUE(session.Send(kPublishedFolder));
  ASSERT_EQ(session.Block().Result(), 1);
  std::string expected = folder.Path();
  expected.append("/KDZ/");
  const uint32_t size = session.Block().DataSize() - 8;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(session.Block().InlineData()) + 8, size),
            expected);
  ASSERT_TRUE(session.Send(kCommandStop));
  EXPECT_EQ(session.WaitExit(), 0);
}

}  // namespace
}  // namespace tessel::test
