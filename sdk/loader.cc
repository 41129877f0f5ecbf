#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "client/png_header.h"
#include "client/worker_pool.h"
#include "sdk/internal.h"
#include "wire/image_descriptor.h"

namespace tessel {
namespace {

// A Load reply's blocks besides the pixels: the block count and sizes and the descriptor.
constexpr uint64_t kReplyOverhead = 4 + 2 * 4 + sizeof(ImageDescriptor);
constexpr uint64_t kMaxPixelBytes = uint64_t{4095} << 20;

WorkerPoolOptions PoolOptions(const LoaderOptions& options) {
  WorkerPoolOptions pool;
  pool.workers = options.workers;
  SessionOptions& session = pool.session;
  // Empty: the session's own search (the variable, then the installed layout) and its message.
  session.workerPath = options.workerPath;
  session.confinement = options.confinement == Confinement::kOff ? ConfinementMode::kOff
                        : options.confinement == Confinement::kBestEffort
                            ? ConfinementMode::kBestEffort
                            : ConfinementMode::kRequire;
  // The worker holds an image's pixels twice while it hands them over (its raster and the
  // region), so a larger limit needs a larger address space.
  const uint64_t region = std::min(options.maxPixelBytes, kMaxPixelBytes) + kReplyOverhead;
  session.maxRegionSize = static_cast<uint32_t>(std::min<uint64_t>(region, UINT32_MAX));
  session.addressSpaceLimit =
      std::max<uint64_t>(kDefaultWorkerAddressSpace, 2 * region + (uint64_t{512} << 20));
  session.commandDeadline = options.timeout;
  session.logFolder = options.logFolder;
  return pool;
}

LoadError CheckOptions(const LoaderOptions& options) {
  if (options.maxPixelBytes == 0 || options.maxPixelBytes > kMaxPixelBytes)
    return LoadError(ErrorCode::kInvalidArgument, "maxPixelBytes must be 1 to 4095 MiB");
  if (options.timeout.count() <= 0)
    return LoadError(ErrorCode::kInvalidArgument, "the timeout must be positive");
  return LoadError();
}

LoadError TooLarge(uint32_t width, uint32_t height, uint64_t limit) {
  return LoadError(ErrorCode::kTooLarge, std::to_string(width) + " x " + std::to_string(height) +
                                             " pixels need more than the limit of " +
                                             std::to_string(limit) + " bytes (maxPixelBytes)");
}

}  // namespace

struct PendingLoad::State {
  enum class Phase { kQueued, kRunning, kCompleting, kDone };

  std::mutex mutex;
  std::condition_variable done;
  Phase phase = Phase::kQueued;
  bool cancelled = false;
  pid_t workerPid = 0;             // while it runs on a worker
  Loader::Impl* loader = nullptr;  // valid until kDone: the loader waits for every load
  ReadSource source;
  LoadOptions options;
  Loader::Callback callback;
  LoadError error;
  Image image;
};

// Not part of the ABI, though its class is exported.
struct __attribute__((visibility("hidden"))) Loader::Impl {
  explicit Impl(LoaderOptions given)
      : options(std::move(given)),
        optionsError(CheckOptions(options)),
        pool(PoolOptions(options)) {}

  LoadError Run(const ReadSource& source, const LoadOptions& load, PendingLoad::State* state,
                Image& image, bool pixels);
  // Touches only the state: a Cancel may call it while the loader goes.
  static void Complete(const std::shared_ptr<PendingLoad::State>& state, LoadError error,
                       Image image);
  void Dispatch();
  bool Unqueue(const PendingLoad::State* state);

  LoaderOptions options;
  LoadError optionsError;
  WorkerPool pool;
  std::atomic<uint64_t> nextId{1};
  std::atomic<bool> closing{false};
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<std::shared_ptr<PendingLoad::State>> queue;
  std::vector<std::thread> threads;  // started at the first asynchronous load
};

LoadError Loader::Impl::Run(const ReadSource& source, const LoadOptions& load,
                            PendingLoad::State* state, Image& image, bool pixels) {
  if (!optionsError) return optionsError;
  if (closing) return LoadError(ErrorCode::kClosed, "the loader is shutting down");
  const uint64_t limit = options.maxPixelBytes;
  uint64_t bytes = 0;
  std::optional<PngHeader> header;
  if (source.format == ImageFormat::kPng) header = ParsePngHeader(*source.bytes);
  // Sizes we can tell here are refused here, without a worker.
  if (header && pixels && !TesselRasterBytes(header->width, header->height, limit, &bytes))
    return TooLarge(header->width, header->height, limit);
  if (source.format == ImageFormat::kSvg && pixels && load.width != 0 && load.height != 0 &&
      !TesselRasterBytes(load.width, load.height, limit, &bytes))
    return TooLarge(load.width, load.height, limit);
  Result<WorkerPool::Lease> lease = pool.Acquire();
  if (!lease) {
    // An explicit worker path that does not exist fails at exec, as a system error.
    const std::string& worker = pool.Options().session.workerPath;
    if (lease.Error().Kind() == ErrorKind::kSystem && !worker.empty() &&
        ::access(worker.c_str(), F_OK) != 0 && errno == ENOENT)
      return LoadError(ErrorCode::kNotFound, "the worker program " + worker + " does not exist");
    return ToError(lease.Error(), closing);
  }
  if (state != nullptr) {
    std::lock_guard lock(state->mutex);
    if (state->cancelled) return LoadError(ErrorCode::kCancelled, "the load was cancelled");
    state->workerPid = lease->GetSession().WorkerPid();
  }
  const uint64_t id = nextId++;
  // Only the natural size is wanted without pixels: the smallest rendering gives it.
  const TargetSize target = pixels ? TargetSize{load.width, load.height} : TargetSize{1, 1};
  // A view: the pixels are copied once, into the image, before the next command.
  Result<LoadedImage> loaded = lease->Images().Load(id, std::span<const std::byte>(*source.bytes),
                                                    source.workerName, target, PixelStorage::kView);
  bool cancelled = closing;
  if (state != nullptr) {
    // Until the id is cleared a Cancel may kill this worker: the lease is held until then.
    std::lock_guard lock(state->mutex);
    state->workerPid = 0;
    cancelled = cancelled || state->cancelled;
  }
  LoadError error;
  auto impl = std::make_unique<Image::Impl>();
  if (!loaded) {
    error = ToError(loaded.Error(), cancelled);
    if (error.Code() == ErrorCode::kCorruptData || error.Code() == ErrorCode::kTooLarge)
      error = LoadError(error.Code(), source.name + ": " + error.Message());
  } else if (pixels &&
             !TesselRasterBytes(loaded->PixelWidth(), loaded->PixelHeight(), limit, &bytes)) {
    // The region the pixels come through holds more than a small limit: the limit is ours.
    error = TooLarge(loaded->PixelWidth(), loaded->PixelHeight(), limit);
  } else {
    const ImageDescriptor& descriptor = loaded->Descriptor();
    impl->info = {loaded->IsVector() ? ImageFormat::kSvg : ImageFormat::kPng, descriptor.Width,
                  descriptor.Height};
    if (pixels) {
      impl->width = loaded->PixelWidth();
      impl->height = loaded->PixelHeight();
      const std::span<const std::byte> view = loaded->Pixels();
      try {
        impl->pixels.assign(view.begin(), view.end());
      } catch (const std::bad_alloc&) {
        error = LoadError(ErrorCode::kSystem, "no memory for the " + std::to_string(view.size()) +
                                                  " bytes of pixels of " + source.name);
      }
    }
  }
  if (lease->GetSession().Running()) (void)lease->Images().Free(id);
  lease->Release();
  if (!error) return error;
  if (pixels && load.alpha == AlphaMode::kStraight) Unpremultiply(impl->pixels);
  impl->alpha = load.alpha;
  image = ImageAccess::Make(std::move(impl));
  return LoadError();
}

void Loader::Impl::Complete(const std::shared_ptr<PendingLoad::State>& state, LoadError error,
                            Image image) {
  Callback callback;
  {
    std::lock_guard lock(state->mutex);
    if (state->phase == PendingLoad::State::Phase::kCompleting ||
        state->phase == PendingLoad::State::Phase::kDone)
      return;
    state->phase = PendingLoad::State::Phase::kCompleting;
    callback = std::move(state->callback);
  }
  if (callback) {
    LoadError told = error;
    callback(std::move(told), std::move(image));
  }
  {
    std::lock_guard lock(state->mutex);
    state->error = std::move(error);
    if (!callback) state->image = std::move(image);
    state->phase = PendingLoad::State::Phase::kDone;
    state->loader = nullptr;
    state->source = {};
  }
  state->done.notify_all();
}

void Loader::Impl::Dispatch() {
  for (;;) {
    std::shared_ptr<PendingLoad::State> state;
    {
      std::unique_lock lock(mutex);
      queued.wait(lock, [this] { return closing || !queue.empty(); });
      if (queue.empty()) return;
      state = std::move(queue.front());
      queue.pop_front();
    }
    bool cancelled = false;
    {
      std::lock_guard lock(state->mutex);
      cancelled = state->cancelled;
      if (!cancelled) state->phase = PendingLoad::State::Phase::kRunning;
    }
    Image image;
    LoadError error = cancelled ? LoadError(ErrorCode::kCancelled, "the load was cancelled")
                                : Run(state->source, state->options, state.get(), image, true);
    Complete(state, std::move(error), std::move(image));
  }
}

bool Loader::Impl::Unqueue(const PendingLoad::State* state) {
  std::lock_guard lock(mutex);
  const auto found = std::find_if(queue.begin(), queue.end(), [&](const auto& queuedState) {
    return queuedState.get() == state;
  });
  if (found == queue.end()) return false;
  queue.erase(found);
  return true;
}

Loader::Loader(LoaderOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {}

Loader::~Loader() {
  std::deque<std::shared_ptr<PendingLoad::State>> dropped;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closing = true;
    dropped.swap(impl_->queue);
  }
  impl_->queued.notify_all();
  for (const auto& state : dropped)
    impl_->Complete(state, LoadError(ErrorCode::kCancelled, "the loader was destroyed first"),
                    Image());
  // Kills the workers of running loads, which then end as cancelled.
  impl_->pool.Close();
  for (std::thread& thread : impl_->threads) thread.join();
}

LoadError Loader::Load(const Source& source, Image& image, const LoadOptions& options) {
  image = Image();
  ReadSource read;
  if (LoadError error = Read(source, read); !error) return error;
  return impl_->Run(read, options, nullptr, image, true);
}

PendingLoad Loader::LoadAsync(const Source& source, const LoadOptions& options) {
  return LoadAsync(source, options, nullptr);
}

PendingLoad Loader::LoadAsync(const Source& source, const LoadOptions& options, Callback done) {
  auto state = std::make_shared<PendingLoad::State>();
  state->options = options;
  state->callback = std::move(done);
  state->loader = impl_.get();
  LoadError error = Read(source, state->source);
  if (error && impl_->closing) error = LoadError(ErrorCode::kClosed, "the loader is shutting down");
  if (!error) {
    impl_->Complete(state, std::move(error), Image());
    return PendingLoad(state);
  }
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->threads.empty()) {
      for (size_t i = 0; i < impl_->pool.Size(); ++i)
        impl_->threads.emplace_back([impl = impl_.get()] { impl->Dispatch(); });
    }
    impl_->queue.push_back(state);
  }
  impl_->queued.notify_one();
  return PendingLoad(state);
}

LoadError Loader::Info(const Source& source, ImageInfo& info) {
  info = ImageInfo{};
  ReadSource read;
  if (LoadError error = Read(source, read); !error) return error;
  if (read.format == ImageFormat::kPng) {
    if (const std::optional<PngHeader> header = ParsePngHeader(*read.bytes)) {
      info = {ImageFormat::kPng, header->width, header->height};
      return LoadError();
    }
    // A header that fails the checks is for the decoder to name.
  }
  Image image;
  LoadError error = impl_->Run(read, LoadOptions{}, nullptr, image, false);
  if (error) info = image.Info();
  return error;
}

std::vector<int> Loader::WorkerPids() const {
  const std::vector<pid_t> pids = impl_->pool.WorkerPids();
  return std::vector<int>(pids.begin(), pids.end());
}

PendingLoad::PendingLoad() = default;
PendingLoad::~PendingLoad() = default;
PendingLoad::PendingLoad(const PendingLoad& other) = default;
PendingLoad& PendingLoad::operator=(const PendingLoad& other) = default;
PendingLoad::PendingLoad(PendingLoad&& other) noexcept = default;
PendingLoad& PendingLoad::operator=(PendingLoad&& other) noexcept = default;
PendingLoad::PendingLoad(std::shared_ptr<State> state) : state_(std::move(state)) {}

bool PendingLoad::Valid() const {
  return state_ != nullptr;
}

bool PendingLoad::Ready() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->phase == State::Phase::kDone;
}

void PendingLoad::Wait() const {
  if (!state_) return;
  std::unique_lock lock(state_->mutex);
  state_->done.wait(lock, [this] { return state_->phase == State::Phase::kDone; });
}

bool PendingLoad::WaitFor(std::chrono::milliseconds timeout) const {
  if (!state_) return false;
  std::unique_lock lock(state_->mutex);
  return state_->done.wait_for(lock, timeout,
                               [this] { return state_->phase == State::Phase::kDone; });
}

LoadError PendingLoad::Get(Image& image) {
  image = Image();
  if (!state_) return LoadError(ErrorCode::kInvalidArgument, "the handle refers to no load");
  Wait();
  std::lock_guard lock(state_->mutex);
  image = std::move(state_->image);
  state_->image = Image();
  return state_->error;
}

void PendingLoad::Cancel() {
  if (!state_) return;
  std::shared_ptr<State> state = state_;
  Loader::Impl* loader = nullptr;
  {
    std::lock_guard lock(state->mutex);
    if (state->phase != State::Phase::kQueued && state->phase != State::Phase::kRunning) return;
    state->cancelled = true;
    loader = state->loader;
    if (state->phase == State::Phase::kRunning) {
      // Held under the state's lock: the load keeps its lease until it has cleared the id.
      if (state->workerPid != 0) (void)loader->pool.KillLeased(state->workerPid);
      return;
    }
    // Queued: taken out here it never runs. One a thread has taken sees `cancelled` instead.
    if (!loader->Unqueue(state.get())) return;
  }
  Loader::Impl::Complete(state, LoadError(ErrorCode::kCancelled, "the load was cancelled"),
                         Image());
}

}  // namespace tessel
