#include "image_support.h"

#include <dlfcn.h>
#include <png.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/process.h"

namespace tessel::test {

size_t CCaptureLog::Count(const std::string& text) const {
  const std::string all = Text();
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

bool CRecordingWriter::WriteOutput(uint32_t, BlockList blocks) {
  if (duringWrite) duringWrite();
  if (fail) return false;
  std::vector<std::string> copy;
  for (const Block& block : blocks) copy.emplace_back(block.begin(), block.end());
  writes.push_back(std::move(copy));
  return true;
}

CImageHost::CImageHost(const std::string& sessionId) : sessionId_(sessionId) {
  const char* tmpdir = ::getenv("TMPDIR");
  hadTmpdir_ = tmpdir != nullptr;
  if (hadTmpdir_) savedTmpdir_ = tmpdir;
  ::setenv("TMPDIR", temp_.Path().c_str(), 1);
  log_ = std::make_unique<CContextLog>(false, capture.Logger());
  log_->SetContext("[" + sessionId + "] ");
}

CImageHost::~CImageHost() {
  if (hadTmpdir_) {
    ::setenv("TMPDIR", savedTmpdir_.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

ImageProcessorOptions CImageHost::Options(const std::string& library) {
  ImageProcessorOptions options;
  options.libraryPath = library;
  options.logger = &capture.Logger();
  return options;
}

bool CImageHost::Run(CImageProcessor& processor, uint32_t code,
                     const std::vector<std::string>* blocks) {
  std::vector<unsigned char> bytes;
  CBlockSetView view;
  if (blocks != nullptr) {
    std::vector<Block> list;
    for (const std::string& block : *blocks) {
      list.emplace_back(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    }
    bytes.resize(BlockSetSize(list));
    uint64_t claimed = 0;
    if (!WriteBlockSet(bytes.data(), bytes.size(), list) ||
        !ParseBlockSet(bytes.data(), static_cast<uint32_t>(bytes.size()), view, claimed)) {
      throw std::runtime_error("cannot build the input block set");
    }
  }
  return processor.RunImageCommand(
      CImageCommand{code, Control(), blocks ? &view : nullptr, writer, sessionId_, *log_});
}

std::string DescriptorBytes(uint64_t id, uint32_t targetWidth, uint32_t targetHeight) {
  ImageDescriptor descriptor{};
  descriptor.Id = id;
  descriptor.TargetWidth = targetWidth;
  descriptor.TargetHeight = targetHeight;
  return std::string(reinterpret_cast<const char*>(&descriptor), sizeof descriptor);
}

ImageDescriptor ParseDescriptor(const std::string& bytes) {
  ImageDescriptor descriptor{};
  if (bytes.size() != sizeof descriptor) throw std::runtime_error("not a descriptor");
  std::memcpy(&descriptor, bytes.data(), sizeof descriptor);
  return descriptor;
}

std::string Word(uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string WideName(const std::u16string& name) {
  return std::string(reinterpret_cast<const char*>(name.c_str()),
                     (name.size() + 1) * sizeof(char16_t));
}

std::vector<std::string> LoadFromFile(uint64_t id, const std::u16string& path, uint32_t targetWidth,
                                      uint32_t targetHeight) {
  return {Word(1), DescriptorBytes(id, targetWidth, targetHeight), WideName(path)};
}

std::vector<std::string> LoadFromData(uint64_t id, const std::u16string& name,
                                      const std::string& data, uint32_t targetWidth,
                                      uint32_t targetHeight) {
  return {Word(0), DescriptorBytes(id, targetWidth, targetHeight), WideName(name), data,
          Word(static_cast<uint32_t>(data.size()))};
}

std::string EncodePng(uint32_t width, uint32_t height, const std::string& rgba) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr)) {
    throw std::runtime_error("cannot size the PNG");
  }
  std::string png(size, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.data(), 0, nullptr)) {
    throw std::runtime_error("cannot encode the PNG");
  }
  png.resize(size);
  return png;
}

std::string SvgDocument(uint32_t width, uint32_t height) {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(width) + "' height='" +
         std::to_string(height) + "'><rect width='100%' height='100%' " + "fill='#08f'/></svg>";
}

std::string TestLibrary(const std::string& fileName) {
  return ExecutableFolder() + fileName;
}

CCodecCounter::CCodecCounter() : path_(TestLibrary("libTesselCounting.so")) {
  handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(::dlerror());
  for (const char* entry : {"TesselLoadPNG", "TesselInitSVG", "TesselLoadSVG", "TesselGetSGVBuffer",
                            "TesselFreeSVG", "TesselLoadSVGFromData"}) {
    baseline_.emplace_back(entry, Total(entry));
  }
}

CCodecCounter::~CCodecCounter() {
  ::dlclose(handle_);
}

int CCodecCounter::Calls(const char* entry) const {
  for (const auto& [name, count] : baseline_) {
    if (name == entry) return Total(entry) - count;
  }
  return -1;
}

int CCodecCounter::Total(const char* entry) const {
  auto calls = reinterpret_cast<int (*)(const char*)>(::dlsym(handle_, "TesselTestCalls"));
  return calls == nullptr ? -1 : calls(entry);
}

}  // namespace tessel::test
