#include "client/image_client.h"

#include <signal.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "client/message.h"
#include "foundation/text.h"
#include "wire/control_block.h"
#include "wire/environment.h"
#include "wire/wide_text.h"

namespace tessel {
namespace {

using client_detail::Format;

BlockSpan AsBlock(const void* data, size_t size) {
  return {static_cast<const std::byte*>(data), size};
}

// A worker that ended by itself while it decoded an image crashed on it: its fault handler's exit
// code, or a signal that only a fault or an abort sends.
Status ExplainCrash(const Session& session, Status failure, std::string_view name) {
  const std::optional<CProcessWatch::ExitStatus>& exit = session.WorkerExit();
  if (failure.Kind() != ErrorKind::kWorkerEnded || !exit) return failure;
  const bool crashed = exit->exited ? exit->code == kWorkerFaultExitCode
                                    : exit->signal == SIGSEGV || exit->signal == SIGBUS ||
                                          exit->signal == SIGFPE || exit->signal == SIGILL ||
                                          exit->signal == SIGABRT || exit->signal == SIGSYS ||
                                          exit->signal == SIGTRAP;
  if (!crashed) return failure;
  // The session's own words stay: they say how it ended and, under a memory cap, that memory
  // may have run out.
  return Status(ErrorKind::kWorkerEnded,
                Format("the worker crashed while decoding %.*s; the image may be malicious or hit "
                       "a decoder fault (%s)",
                       static_cast<int>(name.size()), name.data(), failure.Message().c_str()));
}

}  // namespace

ImageDescriptor MakeImageRequest(uint64_t id, TargetSize target) {
  ImageDescriptor request{};
  request.Id = id;
  request.TargetWidth = target.width;
  request.TargetHeight = target.height;
  return request;
}

std::vector<std::byte> WideNameBytes(std::string_view utf8) {
  return WideTextBytes(AnsiToWide(utf8));
}

Result<LoadedImage> DecodeLoadReply(const Reply& reply, uint64_t id, PixelStorage storage) {
  // A Load whose reply could not be written still answers Result 1, with the request left in
  // place of the output.
  if (reply.blocks.size() != 2 || reply.status != 1) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker answered Load of image %llu without writing its reply (%zu "
                         "blocks, Status %d); an image larger than SessionOptions::maxRegionSize "
                         "cannot be handed over",
                         static_cast<unsigned long long>(id), reply.blocks.size(), reply.status));
  }
  LoadedImage image;
  const BlockSpan described = reply.blocks[0];
  if (described.size() != sizeof(ImageDescriptor)) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker's Load reply starts with a block of %zu bytes, not a %zu-byte "
                         "descriptor",
                         described.size(), sizeof(ImageDescriptor)));
  }
  // One read of the worker's bytes; everything below looks at the copy only.
  std::memcpy(&image.descriptor_, described.data(), sizeof(ImageDescriptor));
  // Callers may print the texts; a worker need not end them.
  image.descriptor_.ErrorSource[sizeof image.descriptor_.ErrorSource - 1] = '\0';
  image.descriptor_.ErrorMessage[sizeof image.descriptor_.ErrorMessage - 1] = '\0';
  const ImageDescriptor& descriptor = image.descriptor_;
  if (descriptor.Id != id) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker answered Load of image %llu with image %llu",
                         static_cast<unsigned long long>(id),
                         static_cast<unsigned long long>(descriptor.Id)));
  }
  // Saturated rather than wrapped: 2^31 x 2^31 must not pass as 0 bytes.
  uint64_t expected = 0;
  TesselRasterBytes(image.PixelWidth(), image.PixelHeight(), UINT64_MAX, &expected);
  const BlockSpan pixels = reply.blocks[1];
  if (pixels.size() != expected) {
    return Status(ErrorKind::kBadOutput,
                  Format("worker's Load reply has %zu bytes of pixels for a %u x %u image "
                         "(%llu expected)",
                         pixels.size(), image.PixelWidth(), image.PixelHeight(),
                         static_cast<unsigned long long>(expected)));
  }
  if (storage == PixelStorage::kCopy) {
    // The size is bounded by the region we granted (SessionOptions::maxRegionSize), but that can
    // still be more memory than there is: a failure the caller hears about, not an exception.
    try {
      image.copy_.assign(pixels.begin(), pixels.end());
    } catch (const std::bad_alloc&) {
      return Status(ErrorKind::kSystem,
                    Format("no memory for a copy of the %zu bytes of pixels of image %llu",
                           pixels.size(), static_cast<unsigned long long>(id)));
    }
    image.copied_ = true;
  } else {
    image.view_ = pixels;
  }
  image.workingSetSize_ = reply.workingSetSize;
  return image;
}

Result<LoadedImage> ImageSession::Load(uint64_t id, std::string_view path, TargetSize target,
                                       PixelStorage storage) {
  std::error_code error;
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::path(path), error);
  if (error) {
    return Status(ErrorKind::kBadInput, Format("cannot make %.*s an absolute path: %s",
                                               static_cast<int>(path.size()), path.data(),
                                               error.message().c_str()));
  }
  if (Status readable = session_.CheckReadable(absolute.string()); !readable) return readable;
  return SendLoad(id, kSourceFile, absolute.string(), {}, target, storage);
}

Result<LoadedImage> ImageSession::Load(uint64_t id, std::span<const std::byte> bytes,
                                       std::string_view name, TargetSize target,
                                       PixelStorage storage) {
  if (bytes.size() > UINT32_MAX) {
    return Status(ErrorKind::kBadInput,
                  Format("%zu bytes of %.*s are more than a Load can carry", bytes.size(),
                         static_cast<int>(name.size()), name.data()));
  }
  return SendLoad(id, kSourceBytes, name, bytes, target, storage);
}

Result<LoadedImage> ImageSession::SendLoad(uint64_t id, uint32_t sourceKind, std::string_view name,
                                           std::span<const std::byte> bytes, TargetSize target,
                                           PixelStorage storage) {
  const ImageDescriptor request = MakeImageRequest(id, target);
  const std::vector<std::byte> wideName = WideNameBytes(name);
  const uint32_t length = static_cast<uint32_t>(bytes.size());
  // All five blocks always; for a file, 4 and 5 are empty and not read.
  const BlockSpan blocks[] = {AsBlock(&sourceKind, sizeof sourceKind),
                              AsBlock(&request, sizeof request), wideName, bytes,
                              AsBlock(&length, sizeof length)};
  // The worker answers a refusal with Result 0 only; its reason is in its log.
  if (!log_ || logSession_ != session_.Id()) {
    log_ = std::make_unique<WorkerLogReader>(session_.LogFolder(), session_.Id());
    logSession_ = session_.Id();
  }
  log_->Mark();
  Result<Reply> reply = session_.Send(kCommandLoad, 0, blocks);
  if (!reply) return ExplainCrash(session_, reply.Error(), name);
  workingSetSize_ = reply->workingSetSize;
  // The worker answers a reply it could not write as it likes; our own reason comes first.
  if (!reply->outputRefusal.Ok()) return reply->outputRefusal;
  if (!reply->Succeeded()) {
    std::string reason = log_->LastReason(name);
    if (reason.empty()) {
      reason = Format("worker refused to load %.*s without logging a reason",
                      static_cast<int>(name.size()), name.data());
    }
    return Status(ErrorKind::kRefused, std::move(reason));
  }
  return DecodeLoadReply(reply.Value(), id, storage);
}

Status ImageSession::Free(uint64_t id) {
  return SendDescriptorCommand(kCommandFree, id);
}

Status ImageSession::GetBitmap() {
  // Any input will do, but a command without one is refused.
  return SendDescriptorCommand(kCommandGetBitmap, 0);
}

Status ImageSession::SendDescriptorCommand(uint32_t command, uint64_t id) {
  const ImageDescriptor request = MakeImageRequest(id);
  const BlockSpan blocks[] = {AsBlock(&request, sizeof request)};
  Result<Reply> reply = session_.Send(command, 0, blocks);
  if (!reply) return reply.Error();
  workingSetSize_ = reply->workingSetSize;
  if (!reply->Succeeded()) {
    return Status(ErrorKind::kRefused, command == kCommandFree
                                           ? Format("worker refused to free image %llu",
                                                    static_cast<unsigned long long>(id))
                                           : std::string("worker refused GetBitmap"));
  }
  return Status();
}

}  // namespace tessel
