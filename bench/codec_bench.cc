// PNG decoding of photo-like and flat images at 1 and 16 megapixels, RGBA8 and RGB16, by the
// codec's fast path, by its libpng path (what every image took before), by the library entry
// point (fast path, handing the rest to libpng), by libspng (RGBA8) and by libpng's simplified
// reader (BGRA); each delivers into a fresh malloc block. Then SVG rendering of a detailed
// document, and what opening libTessel.so costs a fresh process.
#include <benchmark/benchmark.h>
#include <png.h>
#include <spawn.h>
#include <spng.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/png_decoder.h"
#include "codec/png_fast_decoder.h"
#include "codec/tessel_codec.h"

namespace {

void WriteToVector(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

enum class CContent { kPhoto, kFlat };

// Photo-like: gradients, hard-edged shapes, a soft alpha ramp and noise in every sample, so that
// it compresses like a photograph rather than like artwork. Flat: a few colours in large shapes,
// like a screenshot or a diagram.
std::vector<uint8_t> MakePng(uint32_t width, uint32_t height, bool sixteen, CContent content) {
  const int channels = sixteen ? 3 : 4, bytes = sixteen ? 2 : 1;
  std::vector<uint8_t> pixels(size_t{width} * height * channels * bytes);
  std::mt19937 random(7);
  const uint32_t maximum = sixteen ? 65535 : 255;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const bool inShape = ((x / 200 + y / 150) % 3) == 0;
      uint32_t sample[4];
      if (content == CContent::kPhoto) {
        const int noise = static_cast<int>(random() % 9) - 4;
        sample[0] = uint32_t(uint64_t{x} * maximum / width + noise * (sixteen ? 97 : 1));
        sample[1] = inShape ? maximum / 6 : uint32_t(uint64_t{y} * maximum / height);
        sample[2] = ((x ^ y) & 0x3f) * (maximum / 255) + (inShape ? maximum / 2 : 0);
        sample[3] = inShape ? maximum : uint32_t(uint64_t{x + y} * maximum / (width + height));
      } else {
        const uint32_t colour = (x / 300 + 3 * (y / 200)) % 5;
        sample[0] = colour * maximum / 4;
        sample[1] = inShape ? maximum : 0;
        sample[2] = maximum - colour * maximum / 8;
        sample[3] = inShape ? maximum : maximum / 2;
      }
      uint8_t* p = &pixels[(size_t{y} * width + x) * channels * bytes];
      for (int c = 0; c < channels; ++c) {
        const uint32_t v = std::min(sample[c], maximum);
        if (sixteen) {
          p[2 * c] = uint8_t(v >> 8), p[2 * c + 1] = uint8_t(v);
        } else {
          p[c] = uint8_t(v);
        }
      }
    }
  }
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, WriteToVector, nullptr);
  png_set_IHDR(png, info, width, height, sixteen ? 16 : 8,
               sixteen ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = size_t{width} * channels * bytes;
  for (uint32_t y = 0; y < height; ++y) png_write_row(png, &pixels[y * stride]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct CFile {
  const char* label;
  uint32_t side;
  bool sixteen;
  CContent content;
};
constexpr CFile kFiles[] = {
    {"1MP photo RGBA8", 1024, false, CContent::kPhoto},
    {"1MP photo RGB16", 1024, true, CContent::kPhoto},
    {"1MP flat RGBA8", 1024, false, CContent::kFlat},
    {"1MP flat RGB16", 1024, true, CContent::kFlat},
    {"16MP photo RGBA8", 4096, false, CContent::kPhoto},
    {"16MP photo RGB16", 4096, true, CContent::kPhoto},
    {"16MP flat RGBA8", 4096, false, CContent::kFlat},
    {"16MP flat RGB16", 4096, true, CContent::kFlat},
    {"4MP photo RGBA8", 2048, false, CContent::kPhoto},
    {"4MP photo RGB16", 2048, true, CContent::kPhoto},
    {"64MP photo RGBA8", 8192, false, CContent::kPhoto},
    {"64MP photo RGB16", 8192, true, CContent::kPhoto},
};
constexpr int kFileCount = sizeof kFiles / sizeof kFiles[0];

const std::vector<uint8_t>& File(int which) {
  static std::vector<uint8_t> files[kFileCount];
  if (files[which].empty()) {
    const CFile& f = kFiles[which];
    files[which] = MakePng(f.side, f.side, f.sixteen, f.content);
  }
  return files[which];
}

using CDecoder = bool (*)(const std::vector<uint8_t>& file, void** pixels, size_t* size,
                          std::string* error);

bool FastPath(const std::vector<uint8_t>& file, void** pixels, size_t* size, std::string* error) {
  ImageDescriptor descriptor{};
  uint32_t bytes = 0;
  if (tessel::codec::DecodePngFast(file.data(), file.size(), &descriptor, pixels, &bytes) !=
      tessel::codec::PngFastResult::kDecoded) {
    *error = "not decoded by the fast path";
    return false;
  }
  *size = bytes;
  return true;
}

bool LibpngPath(const std::vector<uint8_t>& file, void** pixels, size_t* size, std::string* error) {
  ImageDescriptor descriptor{};
  uint32_t bytes = 0;
  if (!tessel::codec::DecodePngWithLibpng(file.data(), file.size(), &descriptor, pixels, &bytes)) {
    *error = descriptor.ErrorMessage;
    return false;
  }
  *size = bytes;
  return true;
}

bool Library(const std::vector<uint8_t>& file, void** pixels, size_t* size, std::string* error) {
  ImageDescriptor descriptor{};
  uint32_t bytes = 0;
  if (!TesselLoadPNG(file.data(), static_cast<uint32_t>(file.size()), &descriptor, pixels,
                     &bytes)) {
    *error = descriptor.ErrorMessage;
    return false;
  }
  *size = bytes;
  return true;
}

bool Spng(const std::vector<uint8_t>& file, void** pixels, size_t* size, std::string* error) {
  spng_ctx* context = spng_ctx_new(0);
  int result =
      context == nullptr ? SPNG_EMEM : spng_set_png_buffer(context, file.data(), file.size());
  if (result == 0) result = spng_decoded_image_size(context, SPNG_FMT_RGBA8, size);
  if (result == 0) {
    *pixels = std::malloc(*size);
    result = *pixels == nullptr ? SPNG_EMEM
                                : spng_decode_image(context, *pixels, *size, SPNG_FMT_RGBA8, 0);
  }
  spng_ctx_free(context);
  if (result != 0) *error = spng_strerror(result);
  return result == 0;
}

bool LibpngSimplified(const std::vector<uint8_t>& file, void** pixels, size_t* size,
                      std::string* error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    *error = image.message;
    return false;
  }
  image.format = PNG_FORMAT_BGRA;
  *size = PNG_IMAGE_SIZE(image);
  *pixels = std::malloc(*size);
  if (*pixels == nullptr || !png_image_finish_read(&image, nullptr, *pixels, 0, nullptr)) {
    *error = image.message;
    png_image_free(&image);
    return false;
  }
  return true;
}

void DecodePngWith(benchmark::State& state, CDecoder decoder) {
  const int which = static_cast<int>(state.range(0));
  const std::vector<uint8_t>& file = File(which);
  size_t size = 0;
  for (auto _ : state) {
    void* pixels = nullptr;
    std::string error;
    if (!decoder(file, &pixels, &size, &error)) {
      std::free(pixels);
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetLabel(kFiles[which].label);
  state.counters["MP/s"] = benchmark::Counter(
      double(kFiles[which].side) * kFiles[which].side * double(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(DecodePngWith, FastPath, FastPath)
    ->DenseRange(0, kFileCount - 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodePngWith, LibpngPath, LibpngPath)
    ->DenseRange(0, kFileCount - 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodePngWith, Library, Library)
    ->DenseRange(0, kFileCount - 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodePngWith, Spng, Spng)
    ->DenseRange(0, kFileCount - 1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodePngWith, LibpngSimplified, LibpngSimplified)
    ->DenseRange(0, kFileCount - 1)
    ->Unit(benchmark::kMillisecond);

// A few thousand shapes with gradients, strokes, opacity and transforms.
std::string MakeDetailedSvg() {
  std::mt19937 random(11);
  auto number = [&random](int max) { return std::to_string(random() % max); };
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1000 1000\"><defs>"
      "<linearGradient id=\"g\"><stop offset=\"0\" stop-color=\"#f80\"/>"
      "<stop offset=\"1\" stop-color=\"#08f\" stop-opacity=\"0.5\"/></linearGradient>"
      "<radialGradient id=\"r\"><stop offset=\"0\" stop-color=\"#fff\"/>"
      "<stop offset=\"1\" stop-color=\"#333\"/></radialGradient></defs>"
      "<rect width=\"1000\" height=\"1000\" fill=\"url(#r)\"/>";
  for (int i = 0; i < 3000; ++i) {
    const std::string colour = "rgb(" + number(256) + "," + number(256) + "," + number(256) + ")";
    switch (i % 3) {
      case 0:
        svg += "<circle cx=\"" + number(1000) + "\" cy=\"" + number(1000) + "\" r=\"" + number(40) +
               "\" fill=\"" + colour + "\" fill-opacity=\"0.6\"/>";
        break;
      case 1:
        svg += "<rect x=\"" + number(1000) + "\" y=\"" + number(1000) + "\" width=\"" + number(80) +
               "\" height=\"" + number(80) + "\" fill=\"url(#g)\" transform=\"rotate(" +
               number(90) + ")\"/>";
        break;
      default:
        svg += "<path d=\"M" + number(1000) + " " + number(1000) + " C " + number(1000) + " " +
               number(1000) + ", " + number(1000) + " " + number(1000) + ", " + number(1000) + " " +
               number(1000) + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"" +
               number(6) + "\"/>";
    }
  }
  return svg + "</svg>";
}

void* Allocate(uint32_t size) {
  return std::malloc(size);
}

void BM_Svg_Parse(benchmark::State& state) {
  const std::string svg = MakeDetailedSvg();
  for (auto _ : state) {
    ImageDescriptor descriptor{};
    if (!TesselLoadSVGFromData(svg.data(), static_cast<uint32_t>(svg.size()), &descriptor)) {
      state.SkipWithError(descriptor.ErrorMessage);
      break;
    }
    TesselFreeSVG(descriptor.SvgHandle);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(svg.size()));
}
BENCHMARK(BM_Svg_Parse)->Unit(benchmark::kMillisecond);

void BM_Svg_Render(benchmark::State& state) {
  const std::string svg = MakeDetailedSvg();
  ImageDescriptor descriptor{};
  if (!TesselLoadSVGFromData(svg.data(), static_cast<uint32_t>(svg.size()), &descriptor)) {
    state.SkipWithError(descriptor.ErrorMessage);
    return;
  }
  const auto side = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    void* raster = TesselGetSGVBuffer(descriptor.SvgHandle, side, side, Allocate);
    if (raster == nullptr) {
      state.SkipWithError("no raster");
      break;
    }
    benchmark::DoNotOptimize(raster);
    std::free(raster);
  }
  TesselFreeSVG(descriptor.SvgHandle);
  state.SetBytesProcessed(int64_t(state.iterations()) * side * side * 4);
}
BENCHMARK(BM_Svg_Render)->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond);

}  // namespace

// Each iteration starts codec_open_child, which times (inside itself, so that starting a
// process is not counted) opening libTessel.so and decoding a 64 x 64 PNG: arg 0 as the codec
// opens now, arg 1 the same followed by the first SVG load (which loads the SVG side), arg 2
// with libTesselSvg.so loaded up front as well, which is what a libTessel.so linked against
// librsvg and cairo cost every process. The counter is the best of the runs.
void BM_OpenCodec(benchmark::State& state) {
  static const char* const kModes[] = {"png", "svg", "eager"};
  const char* mode = kModes[state.range(0)];
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    state.SkipWithError("cannot find this program's folder");
    return;
  }
  const std::string exe(self, static_cast<size_t>(length));
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  const std::string child = folder + "codec_open_child", codec = folder + "libTessel.so";
  const char* tmp = std::getenv("TMPDIR");
  std::string png =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessel-open-bench-XXXXXX";
  const int fd = ::mkstemp(png.data());
  const std::vector<uint8_t> bytes = MakePng(64, 64, false, CContent::kPhoto);
  const bool written =
      fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) ::close(fd);
  double best = 0;
  for (auto _ : state) {
    if (!written) {
      state.SkipWithError("cannot write the PNG file");
      break;
    }
    int out[2];
    if (::pipe(out) != 0) break;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {child.c_str(), codec.c_str(), png.c_str(), mode, nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, child.c_str(), &actions, nullptr,
                                      const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char text[64] = {};
    const ssize_t got = spawned == 0 ? ::read(out[0], text, sizeof text - 1) : -1;
    ::close(out[0]);
    int status = 0;
    if (spawned == 0) ::waitpid(pid, &status, 0);
    if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("codec_open_child failed");
      break;
    }
    const double seconds = std::strtod(text, nullptr) * 1e-9;
    state.SetIterationTime(seconds);
    best = best == 0 ? seconds : std::min(best, seconds);
  }
  ::unlink(png.c_str());
  state.counters["best_ms"] = best * 1e3;
  state.SetLabel(std::string(mode));
}
BENCHMARK(BM_OpenCodec)
    ->ArgName("mode")
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
