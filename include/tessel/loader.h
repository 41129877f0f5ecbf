#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tessel/error.h"
#include "tessel/export.h"
#include "tessel/image.h"

namespace tessel {

// How each worker is confined (no_new_privs, no capabilities, a minimal environment, resource
// limits, Landlock, seccomp).
enum class Confinement : int {
  kRequire = 0,     // refuse to start a worker when a layer is missing on this system
  kBestEffort = 1,  // start it with the layers there are
  kOff = 2,         // unconfined, with the caller's rights: for debugging only
};

struct LoaderOptions {
  // Workers running at once, each decoding one image at a time; 0: one per core.
  size_t workers = 0;
  // The worker program `Tessel`. Empty: TESSEL_WORKER from the environment, else the library's
  // own search.
  std::string workerPath;
  Confinement confinement = Confinement::kRequire;
  // The most bytes one image's pixels may take (4 a pixel); larger targets fail with kTooLarge.
  // At most 4095 MiB; the worker's address space is sized for it.
  uint64_t maxPixelBytes = uint64_t{1} << 30;
  // How long one decode may take before its worker is killed (kTimedOut).
  std::chrono::milliseconds timeout{30000};
  // Where the workers write their logs; empty: a folder of Tessel's in TMPDIR.
  std::string logFolder;
};

// Where an image comes from. Whatever the source, the client reads the bytes and hands them to
// the worker: a confined worker opens none of the caller's files. A path or a descriptor is read
// when the load is made (by Load or LoadAsync, on the calling thread), so a descriptor or a stream
// need only live until that call returns. At most 4 GiB - 1.
class TESSEL_API Source {
 public:
  // A file by path (UTF-8).
  static Source FromPath(std::string path);
  // Encoded bytes, copied.
  static Source FromBytes(std::span<const std::byte> bytes);
  static Source FromBytes(std::vector<std::byte> bytes);
  // An open descriptor, read from its current offset to its end; not closed.
  static Source FromFd(int fd);
  // A stream, read to its end.
  static Source FromStream(std::istream& stream);

  // The format, when the caller knows it; kAuto (the default) tells it from the content: the PNG
  // signature, or SVG text (after an optional BOM and white space: `<?xml`, `<svg`, `<!--` or
  // `<!DOCTYPE svg`).
  Source& Format(ImageFormat format);
  // A name used in messages ("logo.svg"); a path names itself.
  Source& Name(std::string name);

  Source(const Source& other);
  Source& operator=(const Source& other);
  Source(Source&& other) noexcept;
  Source& operator=(Source&& other) noexcept;
  ~Source();

  struct Impl;

 private:
  Source();
  std::unique_ptr<Impl> impl_;
  friend struct SourceAccess;
};

struct LoadOptions {
  // The size an SVG image is rendered at; 0 on a side: the natural size there. A PNG image keeps
  // its own size.
  uint32_t width = 0;
  uint32_t height = 0;
  AlphaMode alpha = AlphaMode::kPremultiplied;
};

// A load that runs on its own. Cheap to copy: copies refer to the same load. Dropping every
// handle does not cancel it (a callback still runs).
class TESSEL_API PendingLoad {
 public:
  PendingLoad();
  ~PendingLoad();
  PendingLoad(const PendingLoad& other);
  PendingLoad& operator=(const PendingLoad& other);
  PendingLoad(PendingLoad&& other) noexcept;
  PendingLoad& operator=(PendingLoad&& other) noexcept;

  // False for a default-constructed handle.
  bool Valid() const;
  // Whether the outcome is there.
  bool Ready() const;
  // Blocks until it is.
  void Wait() const;
  bool WaitFor(std::chrono::milliseconds timeout) const;
  // Waits, then moves the image out into `image` (once; later calls give an empty image) and
  // returns the outcome. Not for loads made with a callback, which receives the image.
  LoadError Get(Image& image);
  // Cancels the load: a queued one never runs, a running one has its worker killed (the pool
  // starts another for the next load). Either ends with kCancelled; a load that has finished
  // keeps its outcome. Returns at once; any thread.
  void Cancel();

  struct State;

 private:
  explicit PendingLoad(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
  friend class Loader;
};

// Loads images in a pool of confined workers. Thread-safe: call anything from any thread.
// Workers start when first needed and are shared by every load; a worker that crashed, timed out
// or was cancelled is replaced. Destroying the loader cancels the loads still queued, kills the
// running ones and waits for their callbacks, so it must not be destroyed from a callback, nor
// while another thread is still inside one of its calls.
class TESSEL_API Loader {
 public:
  using Callback = std::function<void(LoadError error, Image image)>;

  explicit Loader(LoaderOptions options = {});
  ~Loader();
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // Decodes the source on the calling thread (through a worker); on failure `image` is left
  // empty.
  LoadError Load(const Source& source, Image& image, const LoadOptions& options = {});
  // Queued for the loader's threads; the handle waits for, takes or cancels it.
  PendingLoad LoadAsync(const Source& source, const LoadOptions& options = {});
  // The same, with `done` called exactly once with the outcome: on a loader thread, or on the
  // thread that cancels a queued load or destroys the loader. A source that cannot be read is
  // reported through `done` too, before LoadAsync returns.
  PendingLoad LoadAsync(const Source& source, const LoadOptions& options, Callback done);

  // The format and natural size without the pixels: a PNG image's from its header, with no
  // worker; an SVG image's from the worker.
  LoadError Info(const Source& source, ImageInfo& info);

  // The process ids of the running workers, in no order (for monitoring and tests).
  std::vector<int> WorkerPids() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The format the content starts like, or kAuto when it is neither PNG nor SVG.
TESSEL_API ImageFormat SniffFormat(std::span<const std::byte> head);

}  // namespace tessel
