#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channel/block_channel.h"
#include "channel/block_set.h"
#include "channel/context_log.h"
#include "channel/control_block.h"
#include "codec/tessel_codec.h"
#include "image/image_processor.h"
#include "logging/logger.h"
#include "tests/foundation/temp_folder.h"
#include "tests/logging/log_test_support.h"

namespace tessel::test {

// A logger of the test's own, whose lines can be read back.
class CCaptureLog {
 public:
  CCaptureLog() : logger_(sandbox_.Options()) {}
  CLogger& Logger() { return logger_; }
  std::string Text() const { return sandbox_.ReadAll(); }
  size_t Count(const std::string& text) const;
  bool Has(const std::string& text) const { return Count(text) != 0; }

 private:
  CLogSandbox sandbox_;
  CLogger logger_;
};

// Records what a command writes; can fail, or run something in the middle of the write as a
// client answering a BufferRequest may.
class CRecordingWriter final : public IOutputWriter {
 public:
  bool WriteOutput(uint32_t offset, BlockList blocks) override;
  std::vector<std::vector<std::string>> writes;
  bool fail = false;
  std::function<void()> duringWrite;
};

// TMPDIR pointed at a private folder, a private log and a control block: what a command of
// the image side needs from the host.
class CImageHost {
 public:
  explicit CImageHost(const std::string& sessionId = "s1");
  ~CImageHost();

  ImageProcessorOptions Options(const std::string& library = {});
  // Runs `code` with `blocks` as its input block set (none: no usable input).
  bool Run(CImageProcessor& processor, uint32_t code, const std::vector<std::string>* blocks);
  bool Run(CImageProcessor& processor, uint32_t code, const std::vector<std::string>& blocks) {
    return Run(processor, code, &blocks);
  }

  const std::string& TempDir() const { return temp_.Path(); }
  CTempFolder& Temp() { return temp_; }
  CControlBlockView Control() { return CControlBlockView(control_); }
  CCaptureLog capture;
  CRecordingWriter writer;

 private:
  CTempFolder temp_;
  std::string savedTmpdir_;
  bool hadTmpdir_ = false;
  std::string sessionId_;
  std::unique_ptr<CContextLog> log_;
  unsigned char control_[sizeof(CControlBlock) + 16] = {};
};

std::string DescriptorBytes(uint64_t id, uint32_t targetWidth = 0, uint32_t targetHeight = 0);
ImageDescriptor ParseDescriptor(const std::string& bytes);
std::string Word(uint32_t value);
// The UTF-16 bytes of `name` with its NUL.
std::string WideName(const std::u16string& name);
// An input block set without blocks, as a command without payload may have.
inline const std::vector<std::string> kNoBlocks;
// Blocks of a Load request: from a file (kind 1) or from bytes.
std::vector<std::string> LoadFromFile(uint64_t id, const std::u16string& path,
                                      uint32_t targetWidth = 0, uint32_t targetHeight = 0);
std::vector<std::string> LoadFromData(uint64_t id, const std::u16string& name,
                                      const std::string& data, uint32_t targetWidth = 0,
                                      uint32_t targetHeight = 0);

// An RGBA PNG of the given pixels (width * height * 4 bytes).
std::string EncodePng(uint32_t width, uint32_t height, const std::string& rgba);
std::string SvgDocument(uint32_t width, uint32_t height);

// Holds the counting codec library loaded, so its counts outlive the processor's binding.
// Counts are those since the counter was made: a codec library stays loaded once loaded.
class CCodecCounter {
 public:
  CCodecCounter();
  ~CCodecCounter();
  const std::string& Path() const { return path_; }
  int Calls(const char* entry) const;

 private:
  int Total(const char* entry) const;

  std::string path_;
  void* handle_ = nullptr;
  std::vector<std::pair<std::string, int>> baseline_;
};

// A file next to the test program.
std::string TestLibrary(const std::string& fileName);

}  // namespace tessel::test
