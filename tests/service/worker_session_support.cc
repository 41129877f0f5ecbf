#include "worker_session_support.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "logging/logger.h"
#include "platform/process.h"

namespace tessel::test {
namespace {

using namespace std::chrono_literals;

// Far longer than any command takes; only a hung worker ever reaches it.
constexpr auto kPatience = 30s;

std::string Name(const char* suffix, const std::string& id) {
  std::string name(kServiceName);
  name.append(suffix).append(id);
  return name;
}

}  // namespace

CWorkerSession::CWorkerSession(bool withExtendedRegion) {
  static std::atomic<int> counter{0};
  id_ = "ha_test_";
  id_.append(std::to_string(::getpid())).append("_").append(std::to_string(counter++));
  main_.Create(Name(kMainMappingSuffix, id_), kMainMappingSize);
  if (withExtendedRegion) extended_.Create(Name(kExtendedRegionSuffix, id_), 4096);
  server_.Create(Name(kServerEventSuffix, id_));
  client_.Create(Name(kClientEventSuffix, id_));
}

CWorkerSession::~CWorkerSession() {
  if (worker_.IsWatching()) {
    worker_.SendSignal(SIGKILL);
    CProcessWatch::ExitStatus status;
    worker_.Reap(status, true);
  }
  CSharedMemoryRegion::Unlink(Name(kMainMappingSuffix, id_));
  CSharedMemoryRegion::Unlink(Name(kExtendedRegionSuffix, id_));
  CNamedEvent::Unlink(Name(kServerEventSuffix, id_));
  CNamedEvent::Unlink(Name(kClientEventSuffix, id_));
}

bool CWorkerSession::RecreateExtended(size_t size) {
  RemoveExtended();
  return extended_.Create(Name(kExtendedRegionSuffix, id_), size);
}

void CWorkerSession::RemoveExtended() {
  extended_.Close();
  CSharedMemoryRegion::Unlink(Name(kExtendedRegionSuffix, id_));
}

bool CWorkerSession::Start(const std::string& program, const std::string& logFolder,
                           const std::string* argument, const std::function<void()>& beforeExec) {
  const std::string path = TestProgram(program);
  const std::string commandLine = argument != nullptr ? *argument : id_;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv(kLogDirectoryVariable, logFolder.c_str(), 1);
    if (beforeExec) beforeExec();
    ::execl(path.c_str(), path.c_str(), commandLine.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid > 0 && worker_.Open(pid);
}

void CWorkerSession::WriteInput(uint32_t offset, const std::vector<std::string>& blocks) {
  unsigned char* at = Block().InlineData() + offset;
  const uint32_t count = static_cast<uint32_t>(blocks.size());
  std::memcpy(at, &count, 4);
  uint32_t total = 4 + 4 * count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t size = static_cast<uint32_t>(blocks[i].size());
    std::memcpy(at + 4 + 4 * i, &size, 4);
    std::memcpy(at + total, blocks[i].data(), size);
    total += size;
  }
  Block().SetDataInExtended(0);
  Block().SetDataOffset(offset);
  Block().SetDataSize(total);
}

void CWorkerSession::Post(uint32_t command, uint64_t parameter) {
  CControlBlockView block = Block();
  block.SetResult(0);
  block.SetParameter(parameter);
  block.SetCommand(command);
  client_.Reset();
  server_.Set();
}

bool CWorkerSession::Send(uint32_t command, uint64_t parameter, const EventHandler& onEvent) {
  Post(command, parameter);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (client_.Wait(100ms) != CNamedEvent::WaitResult::Signalled) {
      if (worker_.IsWatching() && worker_.IsAlive() != CProcessWatch::State::Running) return false;
      continue;
    }
    if (Block().Command() == kCommandNone) return true;
    if (onEvent) {
      onEvent(*this);
    } else {
      RecreateExtended(Block().RequiredSize());
      Post(kCommandEventDone);
    }
  }
  return false;
}

int CWorkerSession::WaitExit() {
  if (worker_.WaitForEnd(kPatience) != CProcessWatch::State::Ended) return -1;
  CProcessWatch::ExitStatus status;
  if (worker_.Reap(status, true) != CProcessWatch::ReapResult::Reaped) return -1;
  worker_.Close();
  return status.exited ? status.code : -1;
}

std::string ReadLogs(const std::string& folder) {
  std::string all;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    all.append(text.str());
  }
  return all;
}

std::string TestProgram(const std::string& name) {
  return ExecutableFolder() + name;
}

}  // namespace tessel::test
