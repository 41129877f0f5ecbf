#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "codec/tessel_codec.h"
#include "foundation/process_memory.h"
#include "image/codec_library.h"
#include "image/working_folder.h"
#include "logging/logger.h"
#include "service/image_side.h"

namespace tessel {

struct ImageProcessorOptions {
  std::string libraryPath;  // empty: libTessel.so in the executable's folder
  const char* memoryStatusPath = "/proc/self/status";
  CLogger* logger = nullptr;       // lines without context; null: the process logger
  std::optional<bool> imageDebug;  // unset: the DEBUG_TESSEL switch
};

// The image half of the service: the codec binding, the decoded images under the client's Ids,
// and the Load, Free and GetBitmap commands.
class CImageProcessor final : public IImageSide {
 public:
  enum ImageKindCode : uint32_t { kSvgImage = 1, kBufferImage = 2 };

  class CImage {
   public:
    CImage() = default;
    CImage(const CImage&) = delete;
    CImage& operator=(const CImage&) = delete;
    virtual ~CImage() = default;

    ImageDescriptor Descriptor{};
    uint32_t ImageKind = 0;
  };

  class CSvgImage final : public CImage {
   public:
    explicit CSvgImage(const CCodecLibrary& library) : Library(library) {}
    ~CSvgImage() override { Library.FreeSvg(Handle); }

    uint32_t Handle = 0;
    const CCodecLibrary& Library;
  };

  class CBufferImage final : public CImage {
   public:
    ~CBufferImage() override { std::free(Pixels); }

    void* Pixels = nullptr;  // malloc block from the codec
    uint32_t PixelsSize = 0;
  };

  // The images under their Ids. Images are shared so that one whose reply is being written
  // outlives a Free that the client sends while it answers a BufferRequest.
  class CImageTable {
   public:
    std::shared_ptr<CImage> Find(uint64_t id) const;
    void Store(uint64_t id, std::shared_ptr<CImage> image);
    void Remove(uint64_t id);
    void Clear() { images_.clear(); }
    size_t Size() const { return images_.size(); }

   private:
    std::map<uint64_t, std::shared_ptr<CImage>> images_;
  };

  explicit CImageProcessor(const ImageProcessorOptions& options = {});
  // Destroys the images while the codec library is still loaded, then frees the library and
  // removes the working folder.
  ~CImageProcessor() override;
  CImageProcessor(const CImageProcessor&) = delete;
  CImageProcessor& operator=(const CImageProcessor&) = delete;

  bool RunImageCommand(const CImageCommand& command) override;
  bool InitializeImageProcessor(const CImageCommand& command);

  bool Initialized() const { return initialized_; }
  const CWorkingFolder& WorkingFolder() const { return workingFolder_; }
  const CImageTable& Images() const { return images_; }

 private:
  bool Load(const CImageCommand& command);
  bool Free(const CImageCommand& command);
  bool GetBitmap(const CImageCommand& command);
  std::shared_ptr<CImage> LoadNew(const CImageCommand& command, uint32_t sourceKind,
                                  const std::u16string& name, const unsigned char* data,
                                  uint32_t length);
  void UpdateWorkingSet(CControlBlockView block);

  CLogger& logger_;
  CWorkingFolder workingFolder_;
  bool initialized_ = false;
  CImageTable images_;
  CProcessMemoryApi memoryApi_;
  bool imageDebug_;
  CCodecLibrary codec_;
};

}  // namespace tessel
