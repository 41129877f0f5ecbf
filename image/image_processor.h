#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "codec/tessel_codec.h"
#include "foundation/process_memory.h"
#include "image/codec_library.h"
#include "image/image_side.h"
#include "image/working_folder.h"
#include "logging/logged_files.h"
#include "logging/logger.h"

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
  // Pixels that a reply hands over: `data` stays valid while the image and `owned` live.
  struct CPixels {
    HeapBlock owned;
    const unsigned char* data = nullptr;
    uint64_t size = 0;
  };
  enum class PixelOutcome {
    kReady,
    kRefused,  // the request cannot be met; the image stays
    kFailed,   // the image gave nothing; it is dropped
  };

  // A decoded image under the client's Id. It gives its pixels at the size a Load asks for.
  class CImage {
   public:
    explicit CImage(const ImageDescriptor& descriptor) : descriptor_(descriptor) {}
    CImage(const CImage&) = delete;
    CImage& operator=(const CImage&) = delete;
    virtual ~CImage() = default;

    const ImageDescriptor& Descriptor() const { return descriptor_; }
    void SetId(uint64_t id) { descriptor_.Id = id; }
    // `width` x `height` as the request asks (0: the natural size on that side); a failure has
    // its log line written here.
    virtual PixelOutcome GivePixels(uint32_t width, uint32_t height, const CContextLog& log,
                                    CPixels& pixels) = 0;

   protected:
    ImageDescriptor descriptor_;
  };

  // An SVG document, rendered anew at every size asked.
  class CSvgImage final : public CImage {
   public:
    CSvgImage(const ImageDescriptor& descriptor, const CCodecLibrary& library)
        : CImage(descriptor), library_(library) {}
    ~CSvgImage() override { library_.FreeSvg(descriptor_.SvgHandle); }
    PixelOutcome GivePixels(uint32_t width, uint32_t height, const CContextLog& log,
                            CPixels& pixels) override;

   private:
    const CCodecLibrary& library_;
  };

  // A PNG image, decoded once; its one size is what every request gets.
  class CPngImage final : public CImage {
   public:
    CPngImage(const ImageDescriptor& descriptor, HeapBlock pixels, uint32_t size)
        : CImage(descriptor), pixels_(std::move(pixels)), size_(size) {}
    PixelOutcome GivePixels(uint32_t width, uint32_t height, const CContextLog& log,
                            CPixels& pixels) override;

   private:
    HeapBlock pixels_;  // malloc block from the codec
    uint32_t size_;
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

  // Loads the codec library and makes the working folder on a thread of its own while the
  // worker opens the session; the first command waits for it.
  void PrepareSession(const std::string& sessionId) override;
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
  void FinishPreparing();

  CLogger& logger_;
  CWorkingFolder workingFolder_;
  std::thread preparer_;  // works on codec_ and workingFolder_ alone until joined
  bool initialized_ = false;
  CImageTable images_;
  CProcessMemoryApi memoryApi_;
  bool imageDebug_;
  CCodecLibrary codec_;
};

}  // namespace tessel
