// The client with real workers: Tessel, the test worker tessel_echo_worker, and
// child_rogue_worker, which breaks the protocol, dies or hangs on request.
#include "client/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "client/image_client.h"
#include "client/session_folder.h"
#include "client/worker_log.h"
#include "foundation/text.h"
#include "platform/process.h"
#include "platform/tessel_folders.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"
#include "wire/environment.h"

namespace tessel {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The echo worker answers 100 with Parameter bytes, byte k = k % 251.
constexpr uint32_t kEchoPattern = 100;
// The largest block whose set (count, one size, the block) still fits the inline area.
constexpr uint64_t kLargestInlineBlock = kInlineDataSize - 8;

SessionOptions Worker(const std::string& program, std::chrono::milliseconds deadline = 30s) {
  SessionOptions options;
  options.workerPath = program.front() == '/' ? program : ExecutableFolder() + program;
  options.commandDeadline = deadline;
  // The rogue worker writes no log, so it has no report on itself for a required confinement.
  if (program == "child_rogue_worker") options.confinement = ConfinementMode::kBestEffort;
  return options;
}

bool AnyObjectLeft(const Session& session) {
  for (const char* suffix :
       {kServerEventSuffix, kClientEventSuffix, kMainMappingSuffix, kExtendedRegionSuffix}) {
    if (CSharedMemoryRegion::ExistsReadOnly(session.ObjectName(suffix))) return true;
  }
  return false;
}

// True when `pid` is no child of ours any more: reaped, not a zombie.
bool IsReaped(pid_t pid) {
  return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

using test::CountInLogs;

TEST(SessionTest, HostCommandsThenStopLeaveNothingBehind) {
  Session session;
  ASSERT_TRUE(session.Start().Ok()) << session.EndReason().Message();  // finds Tessel beside us
  const pid_t pid = session.WorkerPid();
  const std::string privateFolder = session.PrivateFolder();
  EXPECT_TRUE(std::filesystem::is_directory(privateFolder));
  // Unknown codes and EventDone outside an event leave Result as we set it.
  for (uint32_t code : {uint32_t{kCommandPing}, 8u, uint32_t{kCommandEventDone}}) {
    Result<Reply> reply = session.Send(code);
    ASSERT_TRUE(reply.Ok()) << reply.Error().Message();
    EXPECT_EQ(reply->result, code == kCommandPing ? 1 : 0) << code;
    EXPECT_EQ(reply->command, 0u);
  }
  EXPECT_TRUE(session.CloseBuffer().Ok());  // with the region open
  EXPECT_TRUE(session.CloseBuffer().Ok());  // with nothing open
  // Start named us already; the first parent stays.
  EXPECT_EQ(session.SetServiceParent(CurrentProcessId()).Kind(), ErrorKind::kRefused);

  ASSERT_TRUE(session.Stop().Ok()) << session.EndReason().Message();
  EXPECT_TRUE(session.WorkerExit() && session.WorkerExit()->exited && !session.WorkerExit()->code);
  EXPECT_TRUE(IsReaped(pid));
  EXPECT_FALSE(AnyObjectLeft(session));
  EXPECT_FALSE(std::filesystem::exists(privateFolder));
}

// A client killed outright cannot clean up; the next session of the same user clears away what it
// left (its extended region and its folder), and leaves live sessions alone.
TEST(SessionTest, WhatAKilledClientLeftIsClearedByTheNextSession) {
  int ids[2];
  ASSERT_EQ(::pipe(ids), 0);
  test::CForkedChild client([&] {
    Session doomed;
    ASSERT_TRUE(doomed.Start().Ok()) << doomed.EndReason().Message();
    ASSERT_EQ(::write(ids[1], doomed.Id().data(), doomed.Id().size()), ssize_t(Session::kIdLength));
    ::raise(SIGKILL);
  });
  ::close(ids[1]);
  std::string id(Session::kIdLength, '\0');
  const bool told = ::read(ids[0], id.data(), id.size()) == ssize_t(id.size());
  ::close(ids[0]);
  const int status = client.Wait();
  ASSERT_TRUE(told && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << test::DescribeStatus(status);
  const std::string region = std::string(kServiceName) + kExtendedRegionSuffix + id;
  const std::string folder = ChooseTesselFolder().path + id;
  ASSERT_TRUE(CSharedMemoryRegion::ExistsReadOnly(region));
  ASSERT_TRUE(std::filesystem::is_directory(folder));

  Session live, next;
  ASSERT_TRUE(live.Start().Ok());
  ASSERT_TRUE(next.Start().Ok());
  EXPECT_FALSE(CSharedMemoryRegion::ExistsReadOnly(region));
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_TRUE(std::filesystem::is_directory(live.PrivateFolder()));
  EXPECT_TRUE(live.Ping().Ok());
}

// A folder is locked a moment after it is made: a sweep in between must not take it from its
// maker, while one that a maker left unfinished long ago is cleared.
TEST(SessionTest, AnUnfinishedFolderIsSweptOnlyOnceItsMakerHadTimeToLockIt) {
  CTempFolder sessions;
  const std::string young = sessions / ".ABCDEFGH12345678.new";
  const std::string old = sessions / ".ZYXWVUTS87654321.new";
  ASSERT_EQ(::mkdir(young.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(old.c_str(), 0700), 0);
  const timespec longAgo[2] = {{::time(nullptr) - 600, 0}, {::time(nullptr) - 600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), longAgo, 0), 0);
  CSessionFolder::SweepStale(sessions / "", [](const std::string&) {
    return std::vector<std::string>();
  });
  EXPECT_TRUE(std::filesystem::is_directory(young));
  EXPECT_FALSE(std::filesystem::exists(old));
}

TEST(SessionTest, LoggingModeSwitchesTheWorkersLogInAUtf16Folder) {
  CTempFolder temp;
  const std::string first = temp / "first";
  const std::string second = temp / "\xd0\xb6\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb-\xe6\x97\xa5";
  ASSERT_EQ(::mkdir(first.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(second.c_str(), 0700), 0);
  // A confined worker can write only the log folder it was given at its start.
  Session confined;
  ASSERT_TRUE(confined.Start().Ok()) << confined.EndReason().Message();
  EXPECT_EQ(confined.SetLoggingMode(true, first).Kind(), ErrorKind::kBadInput);
  EXPECT_TRUE(confined.SetLoggingMode(true, confined.LogFolder()).Ok());

  SessionOptions unconfined;
  unconfined.confinement = ConfinementMode::kOff;
  Session session;
  ASSERT_TRUE(session.Start(unconfined).Ok()) << session.EndReason().Message();
  ASSERT_TRUE(session.SetLoggingMode(true, AnsiToWide(first)).Ok() && session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(first, "Closing buffer"), 1u);
  // Off: the next command's line is written nowhere.
  ASSERT_TRUE(session.SetLoggingMode(false, second).Ok() && session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(first, "Closing buffer") + CountInLogs(second, "Closing buffer"), 1u);
  ASSERT_TRUE(session.SetLoggingMode(true, second).Ok() && session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(second, "Closing buffer"), 1u);
}

TEST(SessionTest, FoldersAreMadeInAnExistingTmpdirOnlyAndNeverInAnotherUsers) {
  CTempFolder temp;
  {
    temp.UseAsUntoldTmpdir("gone/deeper");
    const std::string missing = "the temporary folder " + temp / "gone/deeper/" +
                                " (TMPDIR) does not exist, and Tessel does not make it";
    Session noLog, noSessions;
    EXPECT_EQ(noLog.Start().Message(), "cannot make the log folder: " + missing);
    SessionOptions options;
    options.logFolder = temp / "logs";
    EXPECT_EQ(noSessions.Start(options).Message(), "cannot make the sessions' folder: " + missing);
    EXPECT_FALSE(std::filesystem::exists(temp / "gone"));
  }
  // Another user made TESSEL open to everyone: logs and sessions go to the folder of our own.
  ASSERT_EQ(::mkdir((temp / "TESSEL").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((temp / "TESSEL").c_str(), 0777), 0);
  temp.UseAsUntoldTmpdir();
  const std::string own = temp / "TESSEL-" + std::to_string(::geteuid()) + "/";
  Session session;
  ASSERT_TRUE(session.Start().Ok()) << session.EndReason().Message();
  EXPECT_EQ(session.LogFolder(), own + "LOG/");
  EXPECT_EQ(session.PrivateFolder(), own + session.Id() + "/");
  ASSERT_TRUE(session.Stop().Ok());
  EXPECT_EQ(CountInLogs(own + "LOG/", "[" + session.Id() + "] Stopping service."), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(temp / "TESSEL"));
}

TEST(SessionTest, BufferRequestMovesLargeDataThroughANewRegion) {
  Session session;
  ASSERT_TRUE(session.Start(Worker("tessel_echo_worker")).Ok()) << session.EndReason().Message();
  std::vector<BufferRequestInfo> requests;
  std::vector<int> inside;  // Result of each command sent inside an event
  session.SetBufferRequestHook([&](Session& s, const BufferRequestInfo& info) {
    requests.push_back(info);
    if (requests.size() == 1) {  // the event stays open; Ping is unknown there
      for (uint32_t code : {kCommandPing, kCommandCloseBuffer, kCommandSetServiceParent}) {
        Result<Reply> reply = s.Send(code, CurrentProcessId());
        inside.push_back(reply.Ok() ? reply->result : -1);
      }
    }
  });
  for (uint64_t size : {kLargestInlineBlock, kLargestInlineBlock + 1, kLargestInlineBlock + 4096}) {
    Result<Reply> reply = session.Send(kEchoPattern, size);
    ASSERT_TRUE(reply.Ok()) << reply.Error().Message();
    EXPECT_EQ(reply->dataInExtended, size > kLargestInlineBlock);
    EXPECT_EQ(reply->dataSize, size + 8);
    ASSERT_EQ(reply->blocks.size(), 1u);
    ASSERT_EQ(reply->blocks[0].size(), size);
    for (size_t k : {size_t{0}, size_t{250}, size_t{251}, size_t(size - 1)})
      EXPECT_EQ(std::to_integer<size_t>(reply->blocks[0][k]), k % 251) << k;
  }
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requiredSize, kInlineDataSize + 1);
  EXPECT_TRUE(requests[0].granted);
  EXPECT_EQ(requests[1].requiredSize, kInlineDataSize + 4096);
  EXPECT_EQ(inside, (std::vector<int>{0, 1, 0}));
}

// The worker's mapping of the object `name`, "start-end" from /proc/<pid>/maps; empty when it
// has none.
std::string WorkerMapping(pid_t pid, const std::string& name) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.size() > name.size() &&
        line.compare(line.size() - name.size(), name.size(), name) == 0)
      return line.substr(0, line.find(' '));
  }
  return {};
}

// The object's inode and size as the file system has them.
std::pair<ino_t, off_t> ObjectFile(const std::string& name) {
  struct stat info {};
  if (::stat(SharedObjectFile(name).c_str(), &info) != 0) return {0, -1};
  return {info.st_ino, info.st_size};
}

// The echo worker answers 101 with its input blocks; this one is a single byte 0.
constexpr uint32_t kEchoEcho = 101;
std::span<const BlockSpan> Small() {
  static const std::byte zero{0};
  static const BlockSpan blocks[] = {BlockSpan(&zero, 1)};
  return blocks;
}

bool EchoArrived(const Result<Reply>& reply, uint64_t size) {
  if (!reply.Ok() || !reply->Succeeded() || reply->blocks.size() != 1 ||
      reply->blocks[0].size() != size)
    return false;
  for (size_t k : {size_t{0}, size_t{251}, size_t(size / 2), size_t(size - 1)})
    if (std::to_integer<size_t>(reply->blocks[0][k]) != k % 251) return false;
  return true;
}

TEST(SessionTest, TheRegionIsKeptAcrossCommandsGrowsOnlyWhenNeededAndIsTrimmed) {
  SessionOptions options = Worker("tessel_echo_worker");
  options.keptRegionSize = 8 << 20;
  options.regionIdleTime = 1h;
  Session session;
  ASSERT_TRUE(session.Start(options).Ok()) << session.EndReason().Message();
  const std::string name = session.ObjectName(kExtendedRegionSuffix);
  const pid_t worker = session.WorkerPid();

  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 3 << 20), 3 << 20));
  const size_t grown = session.ExtendedRegionSize();
  const auto [inode, size] = ObjectFile(name);
  EXPECT_GE(grown, size_t{3} << 20);
  EXPECT_EQ(size, static_cast<off_t>(grown));
  const std::string view = WorkerMapping(worker, name);
  ASSERT_FALSE(view.empty());
  // A smaller output goes into the same object, and the worker writes it through the same view.
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 1 << 20), 1 << 20));
  EXPECT_EQ(session.ExtendedRegionSize(), grown);
  EXPECT_EQ(ObjectFile(name), std::make_pair(inode, size));
  EXPECT_EQ(WorkerMapping(worker, name), view);
  // A larger one grows the same object in place, and the worker maps its new size.
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 5 << 20), 5 << 20));
  EXPECT_GE(session.ExtendedRegionSize(), size_t{5} << 20);
  EXPECT_EQ(ObjectFile(name).first, inode);
  EXPECT_NE(WorkerMapping(worker, name), view);

  // On request: the pages go back, the worker's view with them, and the next output grows again.
  ASSERT_TRUE(session.TrimSharedMemory().Ok());
  EXPECT_EQ(session.ExtendedRegionSize(), PageSize());
  EXPECT_EQ(ObjectFile(name), std::make_pair(inode, static_cast<off_t>(PageSize())));
  EXPECT_EQ(WorkerMapping(worker, name), "");
  // As after CloseBuffer, a command with input maps it again.
  ASSERT_TRUE(EchoArrived(session.Send(kEchoEcho, 0, Small()), 1));
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 2 << 20), 2 << 20));
  // A region past keptRegionSize is given back at the next command with input.
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 12 << 20), 12 << 20));
  EXPECT_GE(session.ExtendedRegionSize(), size_t{12} << 20);
  ASSERT_TRUE(session.Ping().Ok());
  EXPECT_GE(session.ExtendedRegionSize(), size_t{12} << 20);
  ASSERT_TRUE(EchoArrived(session.Send(kEchoEcho, 0, Small()), 1));
  EXPECT_EQ(session.ExtendedRegionSize(), PageSize());
  EXPECT_EQ(ObjectFile(name).second, static_cast<off_t>(PageSize()));

  // Inside an event the region holds the output under way: trimming it is refused.
  Status inside;
  session.SetBufferRequestHook(
      [&](Session& s, const BufferRequestInfo&) { inside = s.TrimSharedMemory(); });
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 2 << 20), 2 << 20));
  EXPECT_EQ(inside.Kind(), ErrorKind::kRefused);
}

TEST(SessionTest, AnIdleSessionGivesItsRegionBackAtItsNextCommand) {
  SessionOptions options = Worker("tessel_echo_worker");
  options.regionIdleTime = 50ms;
  Session session;
  ASSERT_TRUE(session.Start(options).Ok()) << session.EndReason().Message();
  ASSERT_TRUE(EchoArrived(session.Send(kEchoPattern, 2 << 20), 2 << 20));
  EXPECT_GE(session.ExtendedRegionSize(), size_t{2} << 20);
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(EchoArrived(session.Send(kEchoEcho, 0, Small()), 1));
  EXPECT_EQ(session.ExtendedRegionSize(), PageSize());
  EXPECT_EQ(ObjectFile(session.ObjectName(kExtendedRegionSuffix)).second,
            static_cast<off_t>(PageSize()));
}

TEST(UntrustedWorkerTest, BadOutputAndAbsurdRequestsAreRefusedAndTheSessionGoesOn) {
  Session session;
  ASSERT_TRUE(session.Start(Worker("child_rogue_worker", 300ms)).Ok());
  // {DataInExtended, DataOffset, DataSize, the first 3 words of the inline area}
  const std::pair<std::array<uint32_t, 6>, const char*> cases[] = {
      {{0, kInlineDataSize - 10, 100}, "outside the 2097152-byte inline area"},
      {{1, 0, 1u << 20}, "outside the 4096-byte extended region"},
      {{0, 0, 8, 3}, "add up to 16 bytes"},  // table past DataSize
      {{0, 0, 8, 0x40000000}, "claims 1073741824 blocks; a reply has at most 16"},
      {{0, 0, 20, 2, 0xffffffffu, 9}, "add up to 4294967316 bytes"},  // wrap in 32 bits
      {{0, 0, 16, 2, 0xfffffff0u, 0xfffffff0u}, "add up to 8589934572 bytes"}};
  for (const auto& [output, message] : cases) {
    const BlockSpan input[] = {std::as_bytes(std::span(output))};
    Result<Reply> reply = session.Send(100, 1, input);
    ASSERT_FALSE(reply.Ok()) << message;
    EXPECT_EQ(reply.Error().Kind(), ErrorKind::kBadOutput);
    EXPECT_NE(reply.Error().Message().find(message), std::string::npos) << reply.Error().Message();
  }
  // A set of 524287 empty blocks adds up exactly; only its count gives it away.
  Result<Reply> many = session.Send(100, 5);
  ASSERT_FALSE(many.Ok());
  EXPECT_EQ(many.Error().Message(), "worker's output claims 524287 blocks; a reply has at most 16");
  // A descriptor whose pixels would fill 2^64 bytes, with none given: no copy is sized by it.
  ImageSession images(session);
  Result<LoadedImage> huge = images.Load(7, std::as_bytes(std::span("<svg/>")), "huge.svg", {}, PixelStorage::kCopy);
  ASSERT_FALSE(huge.Ok());
  EXPECT_EQ(huge.Error().Kind(), ErrorKind::kBadOutput);
  EXPECT_NE(huge.Error().Message().find("0 bytes of pixels for a 2147483648 x 2147483648 image"),
            std::string::npos)
      << huge.Error().Message();
  // The worker checks that it got a refusal and found the region too small for its output.
  std::vector<BufferRequestInfo> requests;
  session.SetBufferRequestHook(
      [&](Session&, const BufferRequestInfo& info) { requests.push_back(info); });
  Result<Reply> refused = session.Send(100, 2);
  EXPECT_TRUE(refused.Ok() && refused->Succeeded());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requiredSize, 0xfffffff0u);
  EXPECT_FALSE(requests[0].granted);
  EXPECT_EQ(session.ExtendedRegionSize(), PageSize());  // there for later commands again
  EXPECT_TRUE(session.Ping().Ok());
}

// Applying the confinement is half the proof; the worker must also find itself confined. One
// that says nothing about itself does not start when the confinement is required.
TEST(UntrustedWorkerTest, WorkerWithoutAReportOnItselfDoesNotStartUnderRequiredConfinement) {
  SessionOptions options = Worker("child_rogue_worker");
  options.confinement = ConfinementMode::kRequire;
  Session session;
  const Status started = session.Start(options);
  EXPECT_EQ(started.Kind(), ErrorKind::kSandboxUnavailable);
  EXPECT_NE(started.Message().find("did not report its confinement"), std::string::npos)
      << started.Message();
  EXPECT_FALSE(session.Running());
  EXPECT_TRUE(IsReaped(session.WorkerPid()));
  EXPECT_FALSE(AnyObjectLeft(session));
}

TEST(UntrustedWorkerTest, WorkerThatIsKilledDiesHangsOrQuitsEndsTheSessionCleanly) {
  CTempFolder folder;
  const std::string quitter = folder.Write("quitter", "#!/bin/sh\nexit 7\n");
  ASSERT_EQ(::chmod(quitter.c_str(), 0700), 0);
  // Misdeed 0: the quitter ends by itself, and we kill Tessel.
  const std::tuple<std::string, uint64_t, const char*> cases[] = {
      {"Tessel", 0, "worker was killed by signal 9 (Killed) before answering Ping"},
      {"child_rogue_worker", 3, "worker exited with code 100 before answering command 100"},
      {"child_rogue_worker", 4,
       "worker did not answer command 100 within 300 ms; it has been killed"},
      {"child_rogue_worker", 6,
       "worker did not answer command 100 within 300 ms; it has been killed"},
      {quitter, 0, "worker exited with code 7 before answering SetServiceParent"}};
  for (const auto& [worker, misdeed, message] : cases) {
    Session session;
    SessionOptions options = Worker(worker, 300ms);
    // A script needs its interpreter, which a confined worker may not execute.
    if (worker == quitter) options.confinement = ConfinementMode::kOff;
    Status ended = session.Start(options);
    if (ended.Ok() && misdeed == 0) ::kill(session.WorkerPid(), SIGKILL);
    if (ended.Ok()) ended = misdeed ? session.Send(100, misdeed).Error() : session.Ping();
    // A confined worker that dies with code 100 may have hit its memory cap: the message says so
    // (sanitized builds run without a cap).
    EXPECT_EQ(ended.Message().substr(0, std::strlen(message)), message);
    EXPECT_EQ(ended.Message().find("may have run out of memory") != std::string::npos,
              misdeed == 3 && !kSanitized);
    const bool timedOut = misdeed == 4 || misdeed == 6;
    EXPECT_EQ(ended.Kind(), timedOut ? ErrorKind::kTimedOut : ErrorKind::kWorkerEnded);
    ASSERT_TRUE(session.WorkerExit().has_value()) << message;
    EXPECT_EQ(session.WorkerExit()->signal, timedOut || worker == "Tessel" ? SIGKILL : 0);
    EXPECT_TRUE(IsReaped(session.WorkerPid()));
    EXPECT_FALSE(AnyObjectLeft(session));
    EXPECT_NE(session.Ping().Message().find(message), std::string::npos);
  }
}

// A log record as the worker's logger writes it.
std::string Record(const std::string& tag, const std::string& body) {
  return "2026.12.07 10:00:00, SID " + tag + ":\r\n" + body + "\r\n\r\n";
}

std::optional<WorkerSelfReport> SelfReport(const std::string& folder, const std::string& id) {
  return WorkerLogReader(folder, id).ReadSelfReport();
}

TEST(WorkerLogTest, SelfReportsOfInterleavedWorkersAreToldApartByProcessTag) {
  CTempFolder logs;
  const std::string a = "[Tessel service] [sessionA] [sessionA] ";
  const std::string b = "[DEBUG] [Tessel service] [sessionB] [sessionB] ";
  // An earlier process drew A's tag; the privilege tests come before any prefix.
  logs.Write("20261207_100000.log",
             Record("AAAAAAAA", "[DEBUG] Privilege test OK") +
                 Record("AAAAAAAA", "[Tessel service] [old] [old] Stopping service.") +
                 Record("AAAAAAAA", "[ERROR] Privilege test failed") +
                 Record("BBBBBBBB", "[DEBUG] Privilege test OK") +
                 Record("BBBBBBBB", "[Tessel service] [sessionB] [sessionB] Starting service."));
  EXPECT_FALSE(SelfReport(logs / "", "sessionA"));  // not there yet
  EXPECT_FALSE(SelfReport(logs / "", "sessionB"));
  logs.Write("20261207_100500.log",
             Record("AAAAAAAA", a + "Starting service.") +
                 Record("AAAAAAAA", "[DEBUG] " + a + "Mandatory level: High") +
                 Record("BBBBBBBB", b + "Mandatory level: Low") +
                 Record("CCCCCCCC", b + "Privileges: CAP_KILL") +  // another process's forgery
                 Record("BBBBBBBB", b + "Privileges: ") +
                 Record("AAAAAAAA", "[DEBUG] " + a + "Privileges: CAP_CHOWN, CAP_KILL"));
  const std::optional<WorkerSelfReport> reportA = SelfReport(logs / "", "sessionA");
  const std::optional<WorkerSelfReport> reportB = SelfReport(logs / "", "sessionB");
  ASSERT_TRUE(reportA && reportB);
  EXPECT_FALSE(reportA->privilegeTestPassed);
  EXPECT_EQ(reportA->mandatoryLevel, "High");
  EXPECT_EQ(reportA->privileges, "CAP_CHOWN, CAP_KILL");
  EXPECT_FALSE(reportA->Confined());
  EXPECT_TRUE(reportB->privilegeTestPassed && reportB->Confined()) << reportB->privileges;
  EXPECT_FALSE(SelfReport(logs / "", "old"));

  // Only the last kMaxLogBytes are read: the error before them is not seen, nor the cut record.
  logs.Write(
      "20261207_101000.log",
      Record("AAAAAAAA", "[ERROR] " + a + "early") +
          Record("AAAAAAAA", "[ERROR] " + a + std::string(WorkerLogReader::kMaxLogBytes, 'x')) +
          Record("AAAAAAAA", "[ERROR] " + a + "late"));
  EXPECT_EQ(WorkerLogReader(logs / "", "sessionA").NewErrors(), std::vector<std::string>{"late"});
}

// Two workers log into one folder, one confined (the default) and one not: each report is read
// from its own worker's records.
TEST(WorkerLogTest, RealWorkersReportWhetherTheyAreConfined) {
  CTempFolder logs;
  SessionOptions options;
  options.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", logs / "");
  Session confinedSession, unconfinedSession;
  ASSERT_TRUE(confinedSession.Start(options).Ok()) << confinedSession.EndReason().Message();
  options.confinement = ConfinementMode::kOff;
  ASSERT_TRUE(unconfinedSession.Start(options).Ok()) << unconfinedSession.EndReason().Message();

  const std::optional<WorkerSelfReport> confined = SelfReport(logs / "", confinedSession.Id());
  ASSERT_TRUE(confined);
  EXPECT_TRUE(confined->privilegeTestPassed);
  EXPECT_EQ(confined->mandatoryLevel, "Low");
  EXPECT_EQ(confined->privileges, "");
  const std::optional<WorkerSelfReport> own = SelfReport(logs / "", unconfinedSession.Id());
  ASSERT_TRUE(own);
  // The privilege test raises CAP_DAC_READ_SEARCH, which works exactly when it is listed.
  EXPECT_EQ(own->privilegeTestPassed,
            own->privileges.find("CAP_DAC_READ_SEARCH") == std::string::npos)
      << own->privileges;
  EXPECT_NE(own->mandatoryLevel, "Low");
}

}  // namespace
}  // namespace tessel
