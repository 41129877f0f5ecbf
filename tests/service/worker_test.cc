// The worker program driven as a client drives it: a real process, real shared objects.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/capabilities.h"
#include "tests/foundation/temp_folder.h"
#include "worker_session_support.h"

namespace tessel::test {
namespace {

constexpr uint32_t kUnknownCommand = 8;
constexpr uint32_t kPatternCommand = 100;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Utf16Block(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()),
                     (text.size() + 1) * sizeof(char16_t));
}

TEST(WorkerTest, AnswersCommandsAndStops) {
  CTempFolder logs;
  CWorkerSession session;
  std::string argument = "  ";
  argument.append(session.Id()).append(" \t");  // trimmed to the session id
  ASSERT_TRUE(session.Start("Tessel", logs.Path(), &argument));
  CControlBlockView block = session.Block();

  block.SetStatus(77);
  ASSERT_TRUE(session.Send(kCommandPing));
  EXPECT_EQ(block.Result(), 1);
  EXPECT_EQ(block.Status(), 77);

  // Unknown codes, EventDone outside an event and image codes without an image side all fail
  // and leave Result as the client set it.
  for (uint32_t code : {kUnknownCommand, uint32_t{kCommandEventDone}, uint32_t{kCommandLoad}}) {
    ASSERT_TRUE(session.Send(code));
    EXPECT_EQ(block.Result(), 0) << code;
    EXPECT_EQ(block.Command(), kCommandNone) << code;
  }

  ASSERT_TRUE(session.Send(kCommandCloseBuffer));
  EXPECT_EQ(block.Result(), 1);
  ASSERT_TRUE(session.Send(kCommandCloseBuffer));  // nothing open any more
  EXPECT_EQ(block.Result(), 1);
  // Without a region, input-less commands leave it closed; input makes the worker reopen it.
  session.RemoveExtended();
  block.SetDataSize(0);
  ASSERT_TRUE(session.Send(kUnknownCommand));
  EXPECT_FALSE(Contains(ReadLogs(logs.Path()), "Cannot read data from the buffer"));
  session.WriteInput(0, {"x"});
  ASSERT_TRUE(session.Send(kUnknownCommand));
  EXPECT_TRUE(Contains(ReadLogs(logs.Path()), "Cannot read data from the buffer"));

  // The first parent stays; a second one is refused.
  ASSERT_TRUE(session.Send(kCommandSetServiceParent, (uint64_t{5} << 32) | ::getpid()));
  EXPECT_EQ(block.Result(), 1);
  ASSERT_TRUE(session.Send(kCommandSetServiceParent, 1));
  EXPECT_EQ(block.Result(), 0);

  ASSERT_TRUE(session.Send(kCommandStop));
  EXPECT_EQ(block.Result(), 1);
  EXPECT_EQ(session.WaitExit(), 0);

  const std::string log = ReadLogs(logs.Path());
  EXPECT_LT(log.find("Service initialization completed."), log.find("Mandatory level: "));
  EXPECT_TRUE(Contains(log, "Stopping service."));
}

TEST(WorkerTest, SessionWithoutExtendedRegionDoesNotStart) {
  CTempFolder logs;
  CWorkerSession session(false);
  ASSERT_TRUE(session.Start("Tessel", logs.Path()));
  EXPECT_EQ(session.WaitExit(), 0);
  const std::string log = ReadLogs(logs.Path());
  const size_t cannotOpen = log.find("Cannot open extended shared memory region");
  const size_t invalid = log.find("Invalid session identifier,");
  ASSERT_NE(cannotOpen, std::string::npos);
  ASSERT_NE(invalid, std::string::npos);
  EXPECT_LT(cannotOpen, invalid);
  EXPECT_TRUE(Contains(log, "Stopping service."));
  EXPECT_FALSE(Contains(log, "Service initialization completed."));
}

TEST(WorkerTest, LoggingModeMovesTheLogAndSwitchesItOff) {
  CTempFolder logs;
  CTempFolder moved;
  CWorkerSession session;
  ASSERT_TRUE(session.Start("Tessel", logs.Path()));
  CControlBlockView block = session.Block();

  // Input the command cannot use fails it.
  session.WriteInput(0, {"no terminator"});
  ASSERT_TRUE(session.Send(kCommandSetLoggingMode, 1));
  EXPECT_EQ(block.Result(), 0);
  session.WriteInput(0, {"0123456789"});
  block.SetDataSize(19);
  ASSERT_TRUE(session.Send(kCommandSetLoggingMode, 1));
  EXPECT_EQ(block.Result(), 0);
  std::string log = ReadLogs(logs.Path());
  EXPECT_TRUE(Contains(log, "Buffer access error."));
  EXPECT_TRUE(Contains(log, "Data size is invalid (18 != 19)."));

  // A folder name beyond ASCII arrives as UTF-16 and is used as UTF-8.
  std::string folder = moved.Path();
  std::u16string wide(folder.begin(), folder.end());
  folder.append("/d\xC3\xA9j\xC3\xA0");
  wide.append(u"/d\u00E9j\u00E0");
  session.WriteInput(0, {Utf16Block(wide)});
  ASSERT_TRUE(session.Send(kCommandSetLoggingMode, uint64_t{1} << 32));  // on: high bits count
  EXPECT_EQ(block.Result(), 1);
  ASSERT_TRUE(session.Send(kCommandCloseBuffer));
  EXPECT_TRUE(Contains(ReadLogs(folder), "Closing buffer"));
  EXPECT_FALSE(Contains(ReadLogs(logs.Path()), "Closing buffer"));

  session.WriteInput(0, {Utf16Block(wide)});
  ASSERT_TRUE(session.Send(kCommandSetLoggingMode, 0));
  EXPECT_EQ(block.Result(), 1);
  ASSERT_TRUE(session.Send(kCommandStop));
  EXPECT_EQ(session.WaitExit(), 0);
  log = ReadLogs(folder);
  EXPECT_TRUE(Contains(log, "Set logging mode: 0"));
  EXPECT_FALSE(Contains(log, "Stopping service."));
}

// The client side of a BufferRequest, with the echo worker's pattern command.
TEST(WorkerTest, OutputBeyondTheInlineAreaGoesThroughBufferRequest) {
  CTempFolder logs;
  CWorkerSession session;
  ASSERT_TRUE(session.Start("tessel_echo_worker", logs.Path()));
  CControlBlockView block = session.Block();
  const auto patternAt = [](const unsigned char* set, uint32_t size) {
    uint32_t header[2];
    std::memcpy(header, set, sizeof header);
    if (header[0] != 1 || header[1] != size) return false;
    for (uint32_t k = 0; k < size; ++k)
      if (set[8 + k] != k % 251) return false;
    return true;
  };

  const uint32_t fits = kInlineDataSize - 8;  // count and one size: exactly the inline area
  ASSERT_TRUE(session.Send(kPatternCommand, fits,
                           [](CWorkerSession&) { ADD_FAILURE() << "unexpected event"; }));
  EXPECT_EQ(block.Result(), 1);
  EXPECT_EQ(block.DataInExtended(), 0);
  EXPECT_EQ(block.DataSize(), kInlineDataSize);
  EXPECT_TRUE(patternAt(block.InlineData(), fits));

  int events = 0;
  ASSERT_TRUE(session.Send(kPatternCommand, fits + 1, [&](CWorkerSession& s) {
    CControlBlockView b = s.Block();
    if (++events == 1) {
      EXPECT_EQ(b.Event(), kEventBufferRequest);
      EXPECT_EQ(b.RequiredSize(), kInlineDataSize + 1);
      s.Post(kCommandPing);  // not special inside an event: fails
      return;
    }
    EXPECT_EQ(b.Command(), kCommandPing);
    EXPECT_EQ(b.Result(), 0);
    s.RecreateExtended(b.RequiredSize());
    s.Post(kCommandEventDone);
  }));
  EXPECT_EQ(events, 2);
  EXPECT_EQ(block.Result(), 1);
  EXPECT_EQ(block.Status(), 1);
  EXPECT_EQ(block.Event(), kEventBufferRequest);
  EXPECT_EQ(block.DataInExtended(), 1);
  EXPECT_EQ(block.DataOffset(), 0u);
  EXPECT_EQ(block.DataSize(), kInlineDataSize + 1);
  EXPECT_TRUE(patternAt(session.Extended(), fits + 1));

  // A client that makes the region smaller than asked gets no output, and no write past it.
  ASSERT_TRUE(session.Send(kPatternCommand, fits + 1, [](CWorkerSession& s) {
    s.RecreateExtended(s.Block().RequiredSize() - 1);
    s.Post(kCommandEventDone);
  }));
  EXPECT_EQ(block.Result(), 0);
  ASSERT_TRUE(session.Send(kCommandStop));
  EXPECT_EQ(session.WaitExit(), 0);
}

TEST(WorkerTest, StopsWhenTheParentEnds) {
  CTempFolder logs;
  CWorkerSession session;
  const pid_t parent = ::fork();
  if (parent == 0) {
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(parent, 0);
  ASSERT_TRUE(session.Start("Tessel", logs.Path()));
  ASSERT_TRUE(session.Send(kCommandSetServiceParent, static_cast<uint64_t>(parent)));
  EXPECT_EQ(session.Block().Result(), 1);
  ::kill(parent, SIGKILL);
  EXPECT_EQ(session.WaitExit(), 0);
  ::waitpid(parent, nullptr, 0);
  EXPECT_TRUE(Contains(ReadLogs(logs.Path()), "Parent process not active, stop service"));
}

// Confined as the client confines it (no capabilities, no new privileges, a seccomp filter),
// the worker proves it from the inside.
TEST(WorkerTest, ConfinedWorkerReportsItsConfinement) {
  CTempFolder logs;
  CWorkerSession session;
  ASSERT_TRUE(session.Start("Tessel", logs.Path(), nullptr, [] {
    for (int capability = 0; capability < 64; ++capability) DropCapability(capability);
    sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog program{1, &allow};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      ::_exit(126);
  }));
  ASSERT_TRUE(session.Send(kCommandStop));
  EXPECT_EQ(session.WaitExit(), 0);
  const std::string log = ReadLogs(logs.Path());
  EXPECT_TRUE(Contains(log, "Privilege SeManageVolumePrivilege cannot be enabled"));
  EXPECT_TRUE(Contains(log, "Privilege test OK"));
  EXPECT_TRUE(Contains(log, "Mandatory level: Low"));
  EXPECT_TRUE(Contains(log, "Privileges: \r\n"));
}

}  // namespace
}  // namespace tessel::test
