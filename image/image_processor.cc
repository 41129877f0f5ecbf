#include "image/image_processor.h"

#include <malloc.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "foundation/errors.h"
#include "foundation/path.h"
#include "foundation/text.h"
#include "logging/debug_switch.h"
#include "logging/logged_files.h"
#include "platform/process.h"
#include "wire/wide_text.h"

namespace tessel {
namespace {

// What a Load request carries, copied out of shared memory: each field is read once, and the
// copy is what gets checked and used.
struct LoadRequest {
  uint32_t sourceKind = 0;
  ImageDescriptor descriptor{};
  std::u16string name;
  const unsigned char* data = nullptr;  // stays in the input; only the codec reads it
  uint32_t length = 0;
};

bool ReadWord(Block block, uint32_t& value) {
  if (block.size() < sizeof value) return false;
  std::memcpy(&value, block.data(), sizeof value);
  return true;
}

bool ReadDescriptor(Block block, ImageDescriptor& descriptor) {
  if (block.size() != sizeof descriptor) return false;
  std::memcpy(&descriptor, block.data(), sizeof descriptor);
  return true;
}

// Blocks 1, 3 and, for images given as bytes, 4 and 5. Block 2 is checked by the caller.
bool ReadLoadRequest(const CBlockSetView& input, LoadRequest& request) {
  if (!ReadWord(input.At(0), request.sourceKind) || !ReadWideText(input.At(2), request.name)) {
    return false;
  }
  if (request.sourceKind == kSourceFile) return true;
  const Block data = input.At(3);
  if (!ReadWord(input.At(4), request.length) || request.length > data.size()) return false;
  request.data = data.data();
  return true;
}

bool SameExtension(const std::string& extension, const char* wanted) {
  return extension.size() == std::strlen(wanted) &&
         ::strncasecmp(extension.c_str(), wanted, extension.size()) == 0;
}

// The codec may leave its texts unterminated.
std::string FieldText(const char* field, size_t size) {
  return std::string(field, ::strnlen(field, size));
}

// The free top of the heap kept for the next image, and the share of an address-space cap it
// may take at most.
constexpr uint64_t kRetainedHeap = 256ull << 20;
constexpr uint64_t kRetainedShareOfCap = 10;
// glibc's default count of blocks mapped on their own.
constexpr int kDefaultMappedBlocks = 65536;
// Blocks from this size on get mappings of their own, outside CPixelsFromHeap.
constexpr int kOwnMappingThreshold = 4 << 20;

// Free heap memory is kept up to a bound instead of going back at every free(): a decoded
// image's block is the warm room of the next one.
void RetainFreedHeap(const CContextLog& log) {
  static const bool applied = [] {
    uint64_t retained = kRetainedHeap;
    if (const uint64_t cap = AddressSpaceLimit(); cap != 0)
      retained = std::min(retained, cap / kRetainedShareOfCap);
    // Fixing the trim threshold stops glibc's sliding mmap threshold too, so it is fixed here:
    // larger blocks, such as a file read for decoding, go back whole at free and leave no hole
    // in the address space the cap counts.
    return ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(retained)) == 1 &&
           ::mallopt(M_MMAP_THRESHOLD, kOwnMappingThreshold) == 1;
  }();
  if (!applied) log.Write(Debug, "Freed memory goes back at once");
}

// While it lives, malloc takes even the largest blocks from the heap. A block mapped on its own
// comes in fresh pages, which the kernel zeroes and faults in one by one, and goes back at free:
// every image paid that for its pixels. From the heap, the block reuses what the last image
// freed, and what is kept free stays bounded (RetainFreedHeap) and is the first room any later
// allocation takes. Only the pixel blocks are taken so.
class CPixelsFromHeap {
 public:
  CPixelsFromHeap() { ::mallopt(M_MMAP_MAX, 0); }
  ~CPixelsFromHeap() { ::mallopt(M_MMAP_MAX, kDefaultMappedBlocks); }
  CPixelsFromHeap(const CPixelsFromHeap&) = delete;
  CPixelsFromHeap& operator=(const CPixelsFromHeap&) = delete;
};

// What the codec asked of AllocateRaster during the last rendering on this thread. The codec
// returns no reason for a failed rendering, and this is all the worker can see of it.
struct RasterRequest {
  bool asked = false;
  bool granted = false;
  uint32_t size = 0;
};
thread_local RasterRequest t_rasterRequest;

void* AllocateRaster(uint32_t size) {
  void* block;
  {
    CPixelsFromHeap heap;
    block = std::malloc(size);
  }
  t_rasterRequest = {true, block != nullptr, size};
  return block;
}

// Why a rendering returned no pixels, as far as the worker can tell.
std::string RenderFailure(const RasterRequest& request, uint64_t limit) {
  const std::string cap = limit != 0 ? std::to_string(limit) + " bytes of address space" : "";
  if (!request.asked) return "the codec refused to render it at this size";
  if (!request.granted) {
    return limit != 0 ? "out of memory while decoding: the limit is " + cap
                      : "no memory for its " + std::to_string(request.size) + " bytes of pixels";
  }
  // The pixels were there: the SVG library stopped while drawing, and its reason stays in the
  // codec, which has no way to hand it on from a rendering.
  return "the SVG library failed while drawing it, for a reason the codec does not pass on (a "
         "document past one of the library's own limits, such as 500000 referenced elements, "
         "fails so, as does running out of memory while drawing" +
         (limit != 0 ? " under the limit of " + cap : std::string()) + ")";
}

}  // namespace

CImageProcessor::PixelOutcome CImageProcessor::CSvgImage::GivePixels(uint32_t requestedWidth,
                                                                     uint32_t requestedHeight,
                                                                     const CContextLog& log,
                                                                     CPixels& pixels) {
  const uint32_t width = descriptor_.Width;
  const uint32_t height = descriptor_.Height;
  const uint32_t targetWidth = requestedWidth != 0 ? requestedWidth : width;
  const uint32_t targetHeight = requestedHeight != 0 ? requestedHeight : height;
  uint64_t size = 0;
  if (!TesselRasterBytes(targetWidth, targetHeight, UINT32_MAX, &size)) {
    log.Write(Error, "Requested size too large, width %d, height %d, buffer size %I64d",
              {LogArg::UInt32(targetWidth), LogArg::UInt32(targetHeight), LogArg::UInt64(size)});
    return PixelOutcome::kRefused;
  }
  descriptor_.TargetWidth = targetWidth;
  descriptor_.TargetHeight = targetHeight;
  log.Write(
      Debug, "Image width %d, height %d, buffer size %d (requested width %d, height %d)",
      {LogArg::UInt32(width), LogArg::UInt32(height), LogArg::UInt32(static_cast<uint32_t>(size)),
       LogArg::UInt32(requestedWidth), LogArg::UInt32(requestedHeight)});
  t_rasterRequest = {};
  pixels.owned.reset(static_cast<unsigned char*>(
      library_.GetSvgBuffer(descriptor_.SvgHandle, targetWidth, targetHeight, &AllocateRaster)));
  pixels.data = pixels.owned.get();
  pixels.size = size;
  if (pixels.data == nullptr) {
    const std::string reason = RenderFailure(t_rasterRequest, AddressSpaceLimit());
    log.Write(Error, "Cannot render the image at %d x %d, %s",
              {LogArg::UInt32(targetWidth), LogArg::UInt32(targetHeight),
               LogArg::String(reason.c_str())});
    return PixelOutcome::kFailed;
  }
  return PixelOutcome::kReady;
}

CImageProcessor::PixelOutcome CImageProcessor::CPngImage::GivePixels(uint32_t, uint32_t,
                                                                     const CContextLog&,
                                                                     CPixels& pixels) {
  pixels.data = pixels_.get();
  pixels.size = size_;
  return PixelOutcome::kReady;
}

std::shared_ptr<CImageProcessor::CImage> CImageProcessor::CImageTable::Find(uint64_t id) const {
  const auto found = images_.find(id);
  return found == images_.end() ? nullptr : found->second;
}

void CImageProcessor::CImageTable::Store(uint64_t id, std::shared_ptr<CImage> image) {
  images_[id] = std::move(image);
}

void CImageProcessor::CImageTable::Remove(uint64_t id) {
  images_.erase(id);
}

CImageProcessor::CImageProcessor(const ImageProcessorOptions& options)
    : logger_(options.logger != nullptr ? *options.logger : CLogger::Instance()),
      workingFolder_(logger_),
      memoryApi_(options.memoryStatusPath),
      imageDebug_(options.imageDebug.has_value() ? *options.imageDebug
                                                 : CDebugSwitch("TESSEL").Enabled()),
      codec_(options.libraryPath, logger_) {}

CImageProcessor::~CImageProcessor() {
  FinishPreparing();
  images_.Clear();
  codec_.Release();
  workingFolder_.RemoveWorkingFolder();
}

void CImageProcessor::PrepareSession(const std::string& sessionId) {
  if (preparer_.joinable()) return;
  try {
    preparer_ = std::thread([this, sessionId] {
      codec_.Preload();
      workingFolder_.Prepare(sessionId);
    });
  } catch (const std::system_error&) {
    // No thread: the first command makes the folder, as without a preparation.
  }
}

void CImageProcessor::FinishPreparing() {
  if (preparer_.joinable()) preparer_.join();
}

bool CImageProcessor::InitializeImageProcessor(const CImageCommand& command) {
  if (initialized_) return true;
  FinishPreparing();
  if (!workingFolder_.InitializeWorkingFolder(command.sessionId)) return false;
  command.log.Write(Debug, "Temp path %s", {LogArg::String(workingFolder_.Path())});
  if (codec_.Bind()) {
    RetainFreedHeap(command.log);
    codec_.StartSvg(command.log);
    initialized_ = true;
    return true;
  }
  const std::string user = UserName();
  command.log.Write(Error, "Cannot load Tessel.dll, %s", {LogArg::String(user.c_str())});
  return false;
}

bool CImageProcessor::RunImageCommand(const CImageCommand& command) {
  if (!InitializeImageProcessor(command)) {
    command.log.Write(Error, "Cannot initialize image processor");
    return false;
  }
  bool result;
  switch (command.code) {
    case kCommandLoad:
      result = Load(command);
      break;
    case kCommandFree:
      result = Free(command);
      break;
    case kCommandGetBitmap:
      result = GetBitmap(command);
      break;
    default:
      return false;
  }
  UpdateWorkingSet(command.controlBlock);
  return result;
}

void CImageProcessor::UpdateWorkingSet(CControlBlockView block) {
  ProcessMemoryCounters counters;
  if (memoryApi_.Resolved() && QueryProcessMemory(memoryApi_, counters)) {
    block.SetWorkingSetSize(counters.workingSetSize);
  }
}

bool CImageProcessor::Load(const CImageCommand& command) {
  const CContextLog& log = command.log;
  log.Write(Debug, "Load operation started");
  if (command.input == nullptr) {
    log.Write(Plain, "Buffer access error.");
    log.Write(Error, "Input buffer error");
    return false;
  }
  LoadRequest request;
  if (!ReadDescriptor(command.input->At(1), request.descriptor)) {
    log.Write(Error, "Input block error");
    return false;
  }
  const uint64_t id = request.descriptor.Id;
  const uint32_t requestedWidth = request.descriptor.TargetWidth;
  const uint32_t requestedHeight = request.descriptor.TargetHeight;

  // A kept image needs nothing of the request but its sizes: the other blocks are not read.
  std::shared_ptr<CImage> image = images_.Find(id);
  if (image == nullptr) {
    if (!ReadLoadRequest(*command.input, request)) {
      log.Write(Error, "Input block error");
      return false;
    }
    image = LoadNew(command, request.sourceKind, request.name, request.data, request.length);
    if (image == nullptr) return false;
    image->SetId(id);
    images_.Store(id, image);
  }

  CPixels pixels;
  const PixelOutcome outcome = image->GivePixels(requestedWidth, requestedHeight, log, pixels);
  if (outcome == PixelOutcome::kRefused) return false;
  if (outcome == PixelOutcome::kFailed || pixels.data == nullptr || pixels.size == 0) {
    images_.Remove(id);
    return false;
  }

  // The reply's blocks must not lie in the session's regions; the descriptor is copied, and
  // `image` keeps the pixels alive whatever the client sends while the reply is written.
  const ImageDescriptor reply = image->Descriptor();
  const Block blocks[] = {
      Block(reinterpret_cast<const unsigned char*>(&reply), sizeof reply),
      Block(pixels.data, static_cast<size_t>(pixels.size)),
  };
  if (command.output.WriteOutput(0, blocks)) {
    CControlBlockView block = command.controlBlock;
    block.SetStatus(1);
  }
  return true;
}

std::shared_ptr<CImageProcessor::CImage> CImageProcessor::LoadNew(const CImageCommand& command,
                                                                  uint32_t sourceKind,
                                                                  const std::u16string& name,
                                                                  const unsigned char* data,
                                                                  uint32_t length) {
  const std::string utf8Name = WideToUtf8(name);
  const std::string extension = ExtractFileExt(utf8Name);

  if (SameExtension(extension, ".svg")) {
    ImageDescriptor descriptor{};
    const bool loaded = sourceKind == kSourceFile
                            ? codec_.LoadSvg(utf8Name.c_str(), &descriptor)
                            : codec_.LoadSvgFromData(data, length, &descriptor);
    if (!loaded) {
      const std::string source = FieldText(descriptor.ErrorSource, sizeof descriptor.ErrorSource);
      const std::string message =
          FieldText(descriptor.ErrorMessage, sizeof descriptor.ErrorMessage);
      command.log.Write(Error, "Loading error. %s, %s, %s",
                        {LogArg::String(source.c_str()), LogArg::String(message.c_str()),
                         LogArg::String(utf8Name.c_str())});
      return nullptr;
    }
    descriptor.VectorFlag = 1;
    return std::make_shared<CSvgImage>(descriptor, codec_);
  }

  if (SameExtension(extension, ".png")) {
    ImageDescriptor descriptor{};
    void* pixels = nullptr;
    uint32_t pixelsSize = 0;
    bool loaded = false;
    if (sourceKind == kSourceFile) {
      HeapBlock file;
      uint32_t fileSize = 0;
      std::string reason;
      if (ReadWholeFile(utf8Name, file, fileSize, logger_, &reason)) {
        CPixelsFromHeap heap;
        loaded = codec_.LoadPng(file.get(), fileSize, &descriptor, &pixels, &pixelsSize);
      } else {
        logger_.Log(Error, "Cannot open file %s, %s",
                    {LogArg::String(utf8Name.c_str()), LogArg::String(reason.c_str())});
      }
    } else {
      CPixelsFromHeap heap;
      loaded = codec_.LoadPng(data, length, &descriptor, &pixels, &pixelsSize);
    }
    if (!loaded) {
      std::free(pixels);
      const std::string source = FieldText(descriptor.ErrorSource, sizeof descriptor.ErrorSource);
      const std::string message =
          FieldText(descriptor.ErrorMessage, sizeof descriptor.ErrorMessage);
      command.log.Write(Error, "Loading error. %s, %s",
                        {LogArg::String(source.c_str()), LogArg::String(message.c_str())});
      return nullptr;
    }
    return std::make_shared<CPngImage>(descriptor, HeapBlock(static_cast<unsigned char*>(pixels)),
                                       pixelsSize);
  }
  return nullptr;
}

bool CImageProcessor::Free(const CImageCommand& command) {
  command.log.Write(Debug, "Free operation started");
  if (command.input == nullptr) {
    command.log.Write(Plain, "Buffer access error.");
    return false;
  }
  ImageDescriptor request;
  if (!ReadDescriptor(command.input->At(0), request)) return false;
  images_.Remove(request.Id);
  return true;
}

bool CImageProcessor::GetBitmap(const CImageCommand& command) {
  if (imageDebug_) command.log.Logger().LogContext(Plain, "", "GetBitmap operation started");
  if (command.input == nullptr) {
    command.log.Write(Plain, "Buffer access error.");
    return false;
  }
  return true;
}

}  // namespace tessel
