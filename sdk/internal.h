#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "client/status.h"
#include "tessel/error.h"
#include "tessel/image.h"
#include "tessel/loader.h"

// What the public types hold, and the steps the C++ and C APIs share.
namespace tessel {

struct Image::Impl {
  std::vector<std::byte> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
  AlphaMode alpha = AlphaMode::kPremultiplied;
  ImageInfo info;
};

struct ImageAccess {
  static Image Make(std::unique_ptr<Image::Impl> impl) {
    Image image;
    image.impl_ = std::move(impl);
    return image;
  }
};

struct Source::Impl {
  enum class Kind { kPath, kBytes, kFd, kStream };
  Kind kind = Kind::kBytes;
  std::string path;
  std::shared_ptr<const std::vector<std::byte>> bytes;
  int fd = -1;
  std::istream* stream = nullptr;
  ImageFormat format = ImageFormat::kAuto;
  std::string name;
};

struct SourceAccess {
  static const Source::Impl& Of(const Source& source) { return *source.impl_; }
};

// A source read into memory, its format settled: what a load sends.
struct ReadSource {
  std::shared_ptr<const std::vector<std::byte>> bytes;
  ImageFormat format = ImageFormat::kAuto;
  std::string name;        // for messages
  std::string workerName;  // ends in .png or .svg: the worker picks its decoder by it
};

// Reads the source (a path, descriptor or stream to its end) and tells its format; content
// that is neither PNG nor SVG is kUnsupportedFormat.
LoadError Read(const Source& source, ReadSource& out);

// The public code of an internal failure. `cancelled`: the load was cancelled or its loader is
// going, so a worker that ended was ended by us.
LoadError ToError(const Status& status, bool cancelled);

}  // namespace tessel
