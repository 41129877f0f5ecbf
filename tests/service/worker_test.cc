// The worker programs driven through the client library, with raw commands and input where a
// well-behaved client would never go: real processes, real shared objects.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "client/session.h"
#include "logging/logger.h"
#include "platform/process.h"
#include "service/entry_point.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using test::ReadLogs;

// Starts `program` from the test's folder as the session's worker, logging into `logs`.
Status Start(Session& session, const CTempFolder& logs, const char* program = "Tessel",
             ConfinementMode confinement = ConfinementMode::kRequire) {
  SessionOptions options;
  options.confinement = confinement;
  options.workerPath = ExecutableFolder() + program;
  options.environment = {{kLogDirectoryVariable, logs / ""}};
  options.watchParent = false;
  return session.Start(options);
}

// The worker's Result, or -1 when the exchange itself failed.
int ResultOf(const Result<Reply>& reply) { return reply.Ok() ? reply->result : -1; }

BlockSpan Bytes(std::string_view text) { return std::as_bytes(std::span(text)); }

TEST(WorkerTest, AnswersCommandsAndStops) {
  CTempFolder logs;
  Session session;
  ASSERT_TRUE(Start(session, logs).Ok());
  // Unknown codes, EventDone outside an event and image codes without an image side leave
  // Result as the client set it.
  const uint32_t codes[] = {kCommandPing, 8, kCommandEventDone, kCommandLoad};
  for (uint32_t code : codes) EXPECT_EQ(ResultOf(session.Send(code)), code == kCommandPing ? 1 : 0);
  // A pid no process can have; then only the low 32 bits name the parent; the first one stays.
  EXPECT_EQ(ResultOf(session.Send(kCommandSetServiceParent, 0x80000000u)), 0);
  EXPECT_EQ(ResultOf(session.Send(kCommandSetServiceParent, uint64_t{5} << 32 | ::getpid())), 1);
  EXPECT_EQ(ResultOf(session.Send(kCommandSetServiceParent, 1)), 0);
  // SetLoggingMode without input, or without a UTF-16 NUL in it, fails.
  EXPECT_EQ(ResultOf(session.Send(kCommandSetLoggingMode, 1)), 0);
  const BlockSpan noTerminator[] = {Bytes("no UTF-16 NUL")};
  EXPECT_EQ(ResultOf(session.Send(kCommandSetLoggingMode, 1, noTerminator)), 0);
  ASSERT_TRUE(session.Stop().Ok()) << session.EndReason().Message();  // answered, then exit 0
  const std::string log = ReadLogs(logs / "");
  EXPECT_LT(log.find("Service initialization completed."), log.find("Mandatory level: "));
  EXPECT_THAT(log, HasSubstr("Can't open parent process -2147483648, 22, Invalid argument"));
  EXPECT_THAT(log, HasSubstr("Stopping service."));
}

// After CloseBuffer, input-less commands leave the extended region closed, so output (which
// needs it) fails; a command with input reopens it.
TEST(WorkerTest, ClosedRegionIsReopenedOnlyForInput) {
  CTempFolder logs;
  Session session;
  ASSERT_TRUE(Start(session, logs, "tessel_echo_worker").Ok());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(ResultOf(session.Send(kCommandCloseBuffer)), 1);
  EXPECT_EQ(ResultOf(session.Send(100, 1)), 0);
  const BlockSpan input[] = {Bytes("x")};
  const Result<Reply> echoed = session.Send(101, 0, input);
  ASSERT_EQ(ResultOf(echoed), 1);
  ASSERT_EQ(echoed->blocks.size(), 1u);
  EXPECT_EQ(std::to_integer<char>(echoed->blocks[0][0]), 'x');
  EXPECT_THAT(ReadLogs(logs / ""),
              HasSubstr("Cannot write data to the buffer. Buffer is not open."));
}

TEST(WorkerTest, SessionWithoutObjectsEndsAtOnce) {
  CTempFolder logs;
  const std::string id = "ha_none_" + std::to_string(::getpid());
  const std::string program = ExecutableFolder() + "Tessel";
  const std::string commandLine = "  " + id + " \t";  // trimmed to the id
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv(kLogDirectoryVariable, (logs / "").c_str(), 1);
    ::execl(program.c_str(), program.c_str(), commandLine.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = ReadLogs(logs / "");
  EXPECT_THAT(log, HasSubstr("Stopping service."));
  EXPECT_LT(log.find("Cannot open extended shared memory region"),
            log.find("[" + id + "] Invalid session identifier,"));
  EXPECT_THAT(log, Not(HasSubstr("Service initialization completed.")));
}

// A command that comes after the parent has ended is not served.
TEST(WorkerTest, StopsWhenTheParentEnds) {
  CTempFolder logs;
  const pid_t parent = ::fork();
  if (parent == 0) ::_exit(::pause());
  Session session;
  ASSERT_TRUE(Start(session, logs).Ok());
  EXPECT_EQ(ResultOf(session.Send(kCommandSetServiceParent, static_cast<uint32_t>(parent))), 1);
  ::kill(parent, SIGKILL);
  ::waitpid(parent, nullptr, 0);
  EXPECT_EQ(ResultOf(session.Send(kCommandPing)), -1);
  ASSERT_TRUE(session.WorkerExit().has_value());
  EXPECT_TRUE(session.WorkerExit()->exited && session.WorkerExit()->code == 0);
  EXPECT_THAT(ReadLogs(logs / ""), HasSubstr("Parent process not active, stop service"));
}

TEST(WorkerTest, EscapingFailuresEndTheWorkerWithExitCode100) {
  CTempFolder logs;
  for (uint32_t command : {100u, 101u, 103u}) {  // a fault, an exception, std::terminate
    Session session;
    ASSERT_TRUE(Start(session, logs, "tessel_hostile_worker").Ok());
    EXPECT_EQ(ResultOf(session.Send(command)), -1);
    ASSERT_TRUE(session.WorkerExit().has_value());
    EXPECT_TRUE(session.WorkerExit()->exited) << command;
    EXPECT_EQ(session.WorkerExit()->code, kEscapedFailureExitCode) << command;
  }
}

TEST(WorkerTest, LoggingModePublishesTheFolderForLaterPrograms) {
  CTempFolder logs;
  Session session;
  ASSERT_TRUE(Start(session, logs, "tessel_hostile_worker", ConfinementMode::kOff).Ok());
  ASSERT_TRUE(session.SetLoggingMode(true, logs / "sub").Ok());
  const Result<Reply> published = session.Send(102);
  ASSERT_EQ(ResultOf(published), 1);
  ASSERT_EQ(published->blocks.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(published->blocks[0].data()),
                        published->blocks[0].size()),
            logs / "sub/KDZ/");
}

}  // namespace
}  // namespace tessel
