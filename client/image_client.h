#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/session.h"
#include "client/status.h"
#include "client/worker_log.h"
#include "wire/image_descriptor.h"

// The worker's image commands over a running Session: Load, Free and GetBitmap.
namespace tessel {

// The size an SVG image is rendered at; 0 on a side means the image's natural size on that side.
// PNG images are returned at their natural size whatever is asked.
struct TargetSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Where the pixels of a Load live.
enum class PixelStorage {
  kView,  // in the session's shared memory: valid until the next command on the session
  kCopy,  // in memory of the image's own
};

// What a Load returned: the descriptor the worker keeps for the image, and its pixels as 8-bit
// BGRA with premultiplied alpha, rows packed (stride = PixelWidth() * 4).
class LoadedImage {
 public:
  // The worker's descriptor, copied; its sizes were checked against the pixels and its two texts
  // end in a NUL whatever the worker wrote.
  const ImageDescriptor& Descriptor() const { return descriptor_; }
  bool IsVector() const { return descriptor_.VectorFlag == 1; }
  // The size of the pixels: what an SVG image was rendered at, a PNG image's natural size.
  uint32_t PixelWidth() const { return IsVector() ? descriptor_.TargetWidth : descriptor_.Width; }
  uint32_t PixelHeight() const {
    return IsVector() ? descriptor_.TargetHeight : descriptor_.Height;
  }
  // A view: the worker may still change these bytes (never their bounds) until the next command.
  std::span<const std::byte> Pixels() const { return copied_ ? std::span(copy_) : view_; }
  bool Copied() const { return copied_; }
  // The worker's working-set size in bytes as it reported it after the command.
  uint64_t WorkingSetSize() const { return workingSetSize_; }

 private:
  friend Result<LoadedImage> DecodeLoadReply(const Reply& reply, uint64_t id,
                                             PixelStorage storage);

  ImageDescriptor descriptor_{};
  std::span<const std::byte> view_;
  std::vector<std::byte> copy_;
  bool copied_ = false;
  uint64_t workingSetSize_ = 0;
};

// Checks a Load reply and takes its descriptor (read once) and pixels: two blocks, the first of
// exactly 360 bytes carrying `id`, the second exactly as large as the descriptor's sizes say.
// With kCopy, memory for the copy that cannot be had is a kSystem failure.
Result<LoadedImage> DecodeLoadReply(const Reply& reply, uint64_t id, PixelStorage storage);

// Decoded images stay in the worker under the caller's 64-bit Id until Free. Loading an Id that
// is kept returns the kept image without reading the source again (an SVG image is rendered anew
// at the asked size). Not thread-safe, like the Session it works through.
class ImageSession {
 public:
  explicit ImageSession(Session& session) : session_(session) {}

  // The file at `path` (UTF-8; made absolute here, since the worker's folder is not ours). Its
  // extension, ".png" or ".svg" in any case, chooses the decoder. A refusal (kRefused) carries the
  // worker's own reason, read back from its log. A worker that crashes on the image ends the
  // session (kWorkerEnded, "the worker crashed while decoding ..."): later images need a new one.
  Result<LoadedImage> Load(uint64_t id, std::string_view path, TargetSize target = {},
                           PixelStorage storage = PixelStorage::kView);
  // Encoded bytes; `name` is only used for its extension.
  Result<LoadedImage> Load(uint64_t id, std::span<const std::byte> bytes, std::string_view name,
                           TargetSize target = {}, PixelStorage storage = PixelStorage::kView);
  // Drops the image kept under `id`; an Id that is not kept is no failure.
  Status Free(uint64_t id);
  // Asks the worker whether its image side is usable (it starts it on first use).
  Status GetBitmap();

  // The working-set size the worker reported after the last image command; 0 before any.
  uint64_t WorkingSetSize() const { return workingSetSize_; }
  Session& GetSession() { return session_; }

 private:
  Result<LoadedImage> SendLoad(uint64_t id, uint32_t sourceKind, std::string_view name,
                               std::span<const std::byte> bytes, TargetSize target,
                               PixelStorage storage);
  Status SendDescriptorCommand(uint32_t command, uint64_t id);

  Session& session_;
  uint64_t workingSetSize_ = 0;
  std::unique_ptr<WorkerLogReader> log_;  // of the session's worker, for reasons of refusals
  std::string logSession_;
};

// The request descriptor of a Load or Free: a zeroed descriptor with `id` and `target`.
ImageDescriptor MakeImageRequest(uint64_t id, TargetSize target = {});

// A UTF-8 text as NUL-terminated little-endian UTF-16 bytes, as the worker reads names.
std::vector<std::byte> WideNameBytes(std::string_view utf8);

}  // namespace tessel
