// The client with the real worker Tessel and the test worker tessel_echo_worker.
#include "client/session.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/process.h"
#include "tests/client/client_test_support.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

// Echo worker: 100 answers with one block of Parameter bytes, byte k = k % 251; 101 with its
// input blocks.
constexpr uint32_t kEchoPattern = 100;
constexpr uint32_t kEchoInput = 101;
// The largest block whose set (count, one size, the block) still fits the inline area.
constexpr uint64_t kLargestInlineBlock = kInlineDataSize - 8;

SessionOptions EchoOptions(uint32_t maxRegionSize = 1u << 30) {
  SessionOptions options;
  options.workerPath = ExecutableFolder().append("tessel_echo_worker");
  options.maxRegionSize = maxRegionSize;
  return options;
}

int CountInLogs(const std::string& folder, const std::string& text) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(file), {}};
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  }
  return count;
}

TEST(SessionTest, HostCommandsThenStopLeaveNothingBehind) {
  Session session;
  // The default path finds Tessel next to this program.
  ASSERT_TRUE(session.Start().Ok()) << session.EndReason().Message();
  const pid_t pid = session.WorkerPid();
  // Ping; then unknown codes and EventDone outside an event, which leave Result as we set it.
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
  ASSERT_TRUE(session.WorkerExit().has_value());
  EXPECT_TRUE(session.WorkerExit()->exited);
  EXPECT_EQ(session.WorkerExit()->code, 0);
  EXPECT_TRUE(IsReaped(pid));
  EXPECT_FALSE(AnyObjectLeft(session));
  EXPECT_EQ(session.Ping().Kind(), ErrorKind::kNotRunning);
}

TEST(SessionTest, LoggingModeSwitchesTheWorkersLogInAUtf16Folder) {
  CTempFolder temp;
  const std::string first = temp / "first";
  const std::string second = temp / "\xd0\xb6\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb-\xe6\x97\xa5";
  ASSERT_EQ(::mkdir(first.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(second.c_str(), 0700), 0);
  Session session;
  ASSERT_TRUE(session.Start().Ok()) << session.EndReason().Message();
  ASSERT_TRUE(session.SetLoggingMode(true, Utf8ToUtf16(first)).Ok());
  ASSERT_TRUE(session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(first, "Closing buffer"), 1);
  // Off: the folder stays and the next command's line is written nowhere.
  ASSERT_TRUE(session.SetLoggingMode(false, second).Ok());
  ASSERT_TRUE(session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(first, "Closing buffer") + CountInLogs(second, "Closing buffer"), 1);
  ASSERT_TRUE(session.SetLoggingMode(true, second).Ok());
  ASSERT_TRUE(session.CloseBuffer().Ok());
  EXPECT_EQ(CountInLogs(second, "Closing buffer"), 1);

  // Broken UTF-8 becomes U+FFFD; nothing of it is dropped or read past.
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf|\xed\xa0\x80|\xf0\x9f\x98\x80|\xe6\x97"),
            u"\ufffd\ufffd|\ufffd\ufffd\ufffd|\U0001F600|\ufffd\ufffd");
}

TEST(SessionTest, KilledOrAbandonedWorkerIsReapedAndUnlinked) {
  Session killed;
  ASSERT_TRUE(killed.Start().Ok()) << killed.EndReason().Message();
  ASSERT_EQ(::kill(killed.WorkerPid(), SIGKILL), 0);
  Status ping = killed.Ping();
  EXPECT_EQ(ping.Kind(), ErrorKind::kWorkerEnded);
  EXPECT_EQ(ping.Message(), "worker was killed by signal 9 (Killed) before answering Ping");
  EXPECT_TRUE(IsReaped(killed.WorkerPid()));
  EXPECT_FALSE(AnyObjectLeft(killed));

  auto dropped = std::make_unique<Session>();
  ASSERT_TRUE(dropped->Start().Ok());
  const pid_t pid = dropped->WorkerPid();
  const std::string extended = dropped->ObjectName(kExtendedRegionSuffix);
  dropped.reset();
  EXPECT_TRUE(IsReaped(pid));
  EXPECT_FALSE(CSharedMemoryRegion::ExistsReadOnly(extended));
}

TEST(SessionTest, WorkerEndsWhenItsClientVanishes) {
  // The harness adopts the orphaned worker (as subreaper) to reap it, and exits with the
  // worker's exit code.
  const pid_t harness = ::fork();
  ASSERT_GE(harness, 0);
  if (harness == 0) {
    ::alarm(30);
    int channel[2];
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 || ::pipe(channel) != 0) ::_exit(101);
    struct {
      pid_t worker = 0;
      char id[Session::kIdLength] = {};
    } started;
    const pid_t client = ::fork();
    if (client == 0) {  // ends without closing its session
      Session session;
      if (!session.Start().Ok()) ::_exit(1);
      started.worker = session.WorkerPid();
      session.Id().copy(started.id, sizeof(started.id));
      ::_exit(::write(channel[1], &started, sizeof(started)) == sizeof(started) ? 0 : 1);
    }
    int status = 0;
    if (::read(channel[0], &started, sizeof(started)) != sizeof(started) ||
        ::waitpid(client, &status, 0) != client || ::waitpid(started.worker, &status, 0) < 0)
      ::_exit(102);
    // Only the extended region keeps its name while the worker runs, for it to reopen.
    std::string extended(kServiceName);
    if (!CSharedMemoryRegion::Unlink(extended.append(kExtendedRegionSuffix).append(started.id, 16)))
      ::_exit(103);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 104);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(harness, &status, 0), harness);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SessionTest, BufferRequestMovesLargeOutputToANewRegion) {
  Session session;
  ASSERT_TRUE(session.Start(EchoOptions()).Ok()) << session.EndReason().Message();
  std::vector<BufferRequestInfo> requests;
  std::vector<int> inside;  // Result of each command sent inside an event
  session.SetBufferRequestHook([&](Session& s, const BufferRequestInfo& info) {
    requests.push_back(info);
    if (requests.size() == 1) {  // the event stays open; Ping is unknown there
      for (uint32_t code : {kCommandPing, kCommandCloseBuffer, kCommandSetServiceParent}) {
        Result<Reply> reply = s.Send(code, CurrentProcessId());
        inside.push_back(reply.Ok() ? reply->result : -1);
      }
    } else if (requests.size() == 2) {
      // A nested event that needs less room than the open one. The worker dropped its region
      // for the event; only a command with input makes it open ours again.
      const std::byte one[] = {std::byte{1}};
      const BlockSpan input[] = {one};
      Result<Reply> nested = s.Send(kEchoPattern, kInlineDataSize, input);
      inside.push_back(nested.Ok() && nested->dataInExtended && nested->blocks.size() == 1 &&
                       nested->blocks[0].size() == kInlineDataSize);
    }
  });
  for (uint64_t size : {kLargestInlineBlock, kLargestInlineBlock + 1, kLargestInlineBlock + 4096}) {
    Result<Reply> reply = session.Send(kEchoPattern, size);
    ASSERT_TRUE(reply.Ok()) << reply.Error().Message();
    EXPECT_TRUE(reply->Succeeded());
    EXPECT_EQ(reply->command, 0u);
    EXPECT_EQ(reply->dataInExtended, size > kLargestInlineBlock);
    EXPECT_EQ(reply->dataSize, size + 8);
    ASSERT_EQ(reply->blocks.size(), 1u);
    ASSERT_EQ(reply->blocks[0].size(), size);
    for (size_t k : {size_t{0}, size_t{250}, size_t{251}, size_t(size - 1)})
      EXPECT_EQ(std::to_integer<size_t>(reply->blocks[0][k]), k % 251) << k;
  }
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].requiredSize, kInlineDataSize + 1);
  EXPECT_TRUE(requests[0].granted);
  EXPECT_EQ(requests[2].requiredSize, kInlineDataSize + 8);
  EXPECT_EQ(inside, (std::vector<int>{0, 1, 0, 1}));
}

TEST(SessionTest, RefusedBufferRequestFailsOnlyThatCommand) {
  Session session;
  ASSERT_TRUE(session.Start(EchoOptions(kInlineDataSize + (1u << 19))).Ok());
  std::vector<BufferRequestInfo> requests;
  session.SetBufferRequestHook(
      [&](Session&, const BufferRequestInfo& info) { requests.push_back(info); });
  Result<Reply> refused = session.Send(kEchoPattern, kInlineDataSize + (1u << 20));
  ASSERT_TRUE(refused.Ok()) << refused.Error().Message();
  EXPECT_FALSE(refused->Succeeded());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].granted);

  // Input too large for the inline area goes through an extended region again, which the
  // worker has to open anew; its echo comes back through a granted request.
  std::vector<std::byte> block(kInlineDataSize + 1000);
  for (size_t k = 0; k < block.size(); ++k) block[k] = static_cast<std::byte>(k * 7);
  const BlockSpan input[] = {block, BlockSpan(block).first(3)};
  for (int round = 0; round < 2; ++round) {
    Result<Reply> echoed = session.Send(kEchoInput, 0, input);
    ASSERT_TRUE(echoed.Ok()) << echoed.Error().Message();
    ASSERT_TRUE(echoed->Succeeded()) << round;
    ASSERT_EQ(echoed->blocks.size(), 2u);
    EXPECT_TRUE(std::ranges::equal(block, echoed->blocks[0]));
    EXPECT_EQ(echoed->blocks[1].size(), 3u);
  }
  EXPECT_EQ(requests.size(), 3u);
}

}  // namespace
}  // namespace tessel
