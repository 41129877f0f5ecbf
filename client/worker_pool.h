#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "client/image_client.h"
#include "client/session.h"
#include "client/status.h"
#include "platform/process_watch.h"

namespace tessel {

struct WorkerPoolOptions {
  // How many workers at most; 0: one per core (std::thread::hardware_concurrency(), at least 1).
  size_t workers = 0;
  // What every worker is started with.
  SessionOptions session;
  // Starts a worker in the given fresh session, for callers that do more at a start (their own
  // log settings, their own words for a failure); empty: Session::Start(session). May be called
  // from several threads at once.
  std::function<Status(Session&)> start;
};

// Workers shared between threads: a request takes whichever worker is free, and waits while all
// are busy. Workers start when a request finds none free and fewer than `workers` are running, so
// a batch smaller than the pool never pays for starts it does not use. A worker that has ended,
// or was killed for taking too long, is replaced when its slot is next taken; the request it
// failed reports its error and is not tried again, since the image may be what ended it.
// Thread-safe.
class WorkerPool {
 public:
  // One worker's ImageSession for as long as the lease lives; the worker goes back to the pool
  // when it ends. Images the worker keeps under an Id stay there for the next lease, which may be
  // another worker's: Free them before the lease ends. A lease must not outlive its pool.
  class Lease {
   public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease() { Release(); }

    ImageSession& Images();
    Session& GetSession();
    // Gives the worker back now; the lease is empty afterwards.
    void Release();

   private:
    friend class WorkerPool;
    Lease(WorkerPool* pool, size_t slot) : pool_(pool), slot_(slot) {}
    WorkerPool* pool_ = nullptr;
    size_t slot_ = 0;
  };

  explicit WorkerPool(WorkerPoolOptions options = {});
  ~WorkerPool() { Close(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  const WorkerPoolOptions& Options() const { return options_; }
  // The most workers this pool runs at once.
  size_t Size() const { return slots_.size(); }

  // A free worker, started or replaced first when needed; blocks while every worker is leased.
  // Fails with the start's reason, or kNotRunning once the pool is closed.
  Result<Lease> Acquire();

  // ImageSession::Load on a free worker, with the pixels copied (a view into one worker's memory
  // would not outlive the lease); the worker does not keep the image.
  Result<LoadedImage> Load(uint64_t id, std::string_view path, TargetSize target = {});
  Result<LoadedImage> Load(uint64_t id, std::span<const std::byte> bytes, std::string_view name,
                           TargetSize target = {});

  // Ends every worker: idle ones are stopped, busy ones killed at once (their requests fail with
  // kWorkerEnded); waiting and later requests fail with kNotRunning. Returns once every lease has
  // come back and every worker has been reaped, so never from a thread that holds a lease. Safe
  // to call more than once.
  void Close();

  // The process ids of the running workers, in no order.
  std::vector<pid_t> WorkerPids() const;

  // Kills the worker `pid` if a lease holds it, so that its request fails (kWorkerEnded) and the
  // slot gets a new worker; false when no leased worker has that id. From any thread: the caller
  // must know the lease is still held, or a later lease of the same worker is hit.
  bool KillLeased(pid_t pid);

 private:
  struct Slot {
    std::unique_ptr<Session> session;
    std::unique_ptr<ImageSession> images;
    CProcessWatch watch;  // of the running worker, for Close to kill it while it is leased
    bool leased = false;
  };

  bool Usable(const Slot& slot) const;
  Status Restart(size_t index);
  void Return(size_t index);
  Result<LoadedImage> LoadOnLease(uint64_t id,
                                  const std::function<Result<LoadedImage>(ImageSession&)>& load);

  WorkerPoolOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<Slot> slots_;
  size_t leases_ = 0;
  bool closed_ = false;
};

}  // namespace tessel
