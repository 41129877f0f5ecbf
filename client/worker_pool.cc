#include "client/worker_pool.h"

#include <signal.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace tessel {

WorkerPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), slot_(other.slot_) {}

WorkerPool::Lease& WorkerPool::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = std::exchange(other.pool_, nullptr);
    slot_ = other.slot_;
  }
  return *this;
}

ImageSession& WorkerPool::Lease::Images() {
  return *pool_->slots_[slot_].images;
}

Session& WorkerPool::Lease::GetSession() {
  return *pool_->slots_[slot_].session;
}

void WorkerPool::Lease::Release() {
  if (pool_ != nullptr) std::exchange(pool_, nullptr)->Return(slot_);
}

WorkerPool::WorkerPool(WorkerPoolOptions options) : options_(std::move(options)) {
  size_t count = options_.workers;
  if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
  slots_.resize(count);
}

bool WorkerPool::Usable(const Slot& slot) const {
  // A worker that ended while idle is noticed here, not by the request that would fail on it.
  return slot.session && slot.session->Running() &&
         slot.watch.IsAlive() != CProcessWatch::State::Ended;
}

Result<WorkerPool::Lease> WorkerPool::Acquire() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (closed_) return Status(ErrorKind::kNotRunning, "the worker pool is closed");
    // A running worker first; a slot to start a worker in only when none is free.
    size_t chosen = slots_.size();
    bool ready = false;
    for (size_t i = 0; i < slots_.size() && !ready; ++i) {
      if (slots_[i].leased) continue;
      ready = Usable(slots_[i]);
      if (ready || chosen == slots_.size()) chosen = i;
    }
    if (chosen == slots_.size()) {
      returned_.wait(lock);
      continue;
    }
    slots_[chosen].leased = true;
    ++leases_;
    Lease lease(this, chosen);
    if (ready) return lease;
    lock.unlock();
    // Starting takes a while; other requests go on meanwhile.
    if (Status started = Restart(chosen); !started) return started;  // the lease goes back
    lock.lock();
    const bool closed = closed_;
    // The lease goes back through Return, which takes the lock.
    lock.unlock();
    if (closed) return Status(ErrorKind::kNotRunning, "the worker pool is closed");
    return lease;
  }
}

Status WorkerPool::Restart(size_t index) {
  Slot& slot = slots_[index];
  {
    std::lock_guard lock(mutex_);
    slot.watch.Close();
  }
  // The old session is ours alone while the slot is leased: closing it reaps its worker.
  slot.images.reset();
  slot.session = std::make_unique<Session>();
  // A start sweeps the folders of sessions whose client died, and would take one that another
  // start of ours has made but not locked yet: the starts of a process go one at a time.
  static std::mutex starting;
  std::unique_lock startLock(starting);
  Status started =
      options_.start ? options_.start(*slot.session) : slot.session->Start(options_.session);
  startLock.unlock();
  if (!started) {
    slot.session.reset();
    return started;
  }
  if (!slot.session->Running()) {
    slot.session.reset();
    return Status(ErrorKind::kNotRunning, "the worker ended as it started");
  }
  slot.images = std::make_unique<ImageSession>(*slot.session);
  CProcessWatch watch;
  // Without a watch Close cannot kill the worker mid-request; it still ends it after.
  (void)watch.Open(slot.session->WorkerPid());
  std::lock_guard lock(mutex_);
  slot.watch = std::move(watch);
  return Status();
}

void WorkerPool::Return(size_t index) {
  {
    std::lock_guard lock(mutex_);
    slots_[index].leased = false;
    --leases_;
  }
  returned_.notify_all();
}

std::vector<pid_t> WorkerPool::WorkerPids() const {
  std::lock_guard lock(mutex_);
  std::vector<pid_t> pids;
  for (const Slot& slot : slots_) {
    if (slot.watch.IsWatching() && slot.watch.IsAlive() == CProcessWatch::State::Running)
      pids.push_back(slot.watch.Pid());
  }
  return pids;
}

bool WorkerPool::KillLeased(pid_t pid) {
  std::lock_guard lock(mutex_);
  for (Slot& slot : slots_) {
    // The watch's pidfd keeps the id from naming another process until the slot is restarted.
    if (slot.leased && slot.watch.IsWatching() && slot.watch.Pid() == pid)
      return slot.watch.SendSignal(SIGKILL);
  }
  return false;
}

Result<LoadedImage> WorkerPool::LoadOnLease(
    uint64_t id, const std::function<Result<LoadedImage>(ImageSession&)>& load) {
  Result<Lease> lease = Acquire();
  if (!lease) return lease.Error();
  Result<LoadedImage> image = load(lease->Images());
  // The next request for this id may go to another worker: none keeps an image it would return
  // instead of reading the source again.
  if (lease->GetSession().Running()) (void)lease->Images().Free(id);
  return image;
}

Result<LoadedImage> WorkerPool::Load(uint64_t id, std::string_view path, TargetSize target) {
  return LoadOnLease(
      id, [&](ImageSession& images) { return images.Load(id, path, target, PixelStorage::kCopy); });
}

Result<LoadedImage> WorkerPool::Load(uint64_t id, std::span<const std::byte> bytes,
                                     std::string_view name, TargetSize target) {
  return LoadOnLease(id, [&](ImageSession& images) {
    return images.Load(id, bytes, name, target, PixelStorage::kCopy);
  });
}

void WorkerPool::Close() {
  std::vector<Slot> slots;
  {
    std::unique_lock lock(mutex_);
    closed_ = true;
    // A busy worker is killed rather than waited for: its session notices within a slice of
    // its wait and its lease comes back with the failure.
    for (Slot& slot : slots_) {
      if (slot.leased && slot.watch.IsWatching()) (void)slot.watch.SendSignal(SIGKILL);
    }
    returned_.notify_all();
    returned_.wait(lock, [this] { return leases_ == 0; });
    slots.swap(slots_);
    slots_.resize(slots.size());
  }
  // Each session stops its worker politely and reaps it; one at a time is fine, idle workers
  // answer Stop at once.
  for (Slot& slot : slots) {
    slot.images.reset();
    slot.session.reset();
  }
}

}  // namespace tessel
