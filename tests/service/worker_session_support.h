#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel/control_block.h"
#include "platform/named_event.h"
#include "platform/process_watch.h"
#include "platform/shared_memory_region.h"

namespace tessel::test {

// The client's side of one session, as small as a test needs: it creates the four objects
// under a fresh session id, starts a worker and exchanges commands with it. Everything it
// created is removed again, and a worker still running is killed, when it goes.
class CWorkerSession {
 public:
  // Called when the worker answers with Command still set (an event, or a command sent inside
  // one); it must Post the next command.
  using EventHandler = std::function<void(CWorkerSession&)>;

  explicit CWorkerSession(bool withExtendedRegion = true);
  ~CWorkerSession();
  CWorkerSession(const CWorkerSession&) = delete;
  CWorkerSession& operator=(const CWorkerSession&) = delete;

  const std::string& Id() const { return id_; }
  CControlBlockView Block() const { return CControlBlockView(main_.Data()); }
  unsigned char* Extended() const { return static_cast<unsigned char*>(extended_.Data()); }
  // Replaces the extended region by a new one of `size` bytes, as a client does.
  bool RecreateExtended(size_t size);
  void RemoveExtended();

  // Starts `program` from the test's folder with `argument` as its command line (default: the
  // session id) and its log in `logFolder`; `beforeExec` runs in the child.
  bool Start(const std::string& program, const std::string& logFolder,
             const std::string* argument = nullptr, const std::function<void()>& beforeExec = {});
  // Watches a worker that the test forked itself.
  bool Adopt(pid_t pid) { return worker_.Open(pid); }

  // Writes a block set of the given blocks into the inline area at `offset`.
  void WriteInput(uint32_t offset, const std::vector<std::string>& blocks);
  // Sets Result 0, Parameter and Command, and sets the server event.
  void Post(uint32_t command, uint64_t parameter = 0);
  // Post, then waits until the command has finished. Events go to `onEvent`; without one a
  // BufferRequest gets a region of RequiredSize bytes. False when the worker ended first.
  bool Send(uint32_t command, uint64_t parameter = 0, const EventHandler& onEvent = {});

  // The worker's exit code after it ended; -1 when it was killed or is still running after a
  // generous while.
  int WaitExit();

 private:
  std::string id_;
  CSharedMemoryRegion main_;
  CSharedMemoryRegion extended_;
  CNamedEvent server_;
  CNamedEvent client_;
  CProcessWatch worker_;
};

// All log files of a folder, concatenated.
std::string ReadLogs(const std::string& folder);

// The file of a program next to the running test.
std::string TestProgram(const std::string& name);

}  // namespace tessel::test
