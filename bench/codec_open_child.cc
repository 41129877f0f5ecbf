// Started afresh by BM_OpenCodec: the time, in nanoseconds on standard output, from nothing
// loaded to one PNG decoded through libTessel.so, optionally followed by a first SVG load.
//   codec_open_child LIBTESSEL PNGFILE png|svg|eager
// eager loads libTesselSvg.so up front as well, as a codec linked against the SVG library did.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "codec/tessel_codec.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string library = argv[1], mode = argv[3];
  std::ifstream in(argv[2], std::ios::binary);
  const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const char kSvg[] =
      "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'><rect width='8' "
      "height='8' fill='#f80'/></svg>";

  const auto begin = std::chrono::steady_clock::now();
  void* codec = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (codec == nullptr) return 3;
  if (mode == "eager") {
    const std::string side = library.substr(0, library.rfind('/') + 1) + "libTesselSvg.so";
    if (::dlopen(side.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) return 3;
  }
  auto loadPng = reinterpret_cast<decltype(&TesselLoadPNG)>(::dlsym(codec, "TesselLoadPNG"));
  ImageDescriptor descriptor{};
  void* pixels = nullptr;
  uint32_t size = 0;
  if (loadPng == nullptr ||
      !loadPng(png.data(), static_cast<uint32_t>(png.size()), &descriptor, &pixels, &size)) {
    return 4;
  }
  std::free(pixels);
  if (mode == "svg") {
    auto loadSvg =
        reinterpret_cast<decltype(&TesselLoadSVGFromData)>(::dlsym(codec, "TesselLoadSVGFromData"));
    if (loadSvg == nullptr || !loadSvg(kSvg, sizeof kSvg - 1, &descriptor)) return 5;
  }
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  std::printf("%lld\n", static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  return 0;
}
