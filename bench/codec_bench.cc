// The codec's PNG decoding against libpng's simplified reader on the same files (both deliver
// BGRA into a fresh malloc block; the codec also premultiplies), SVG rendering of a detailed
// document, and what opening libTessel.so costs a fresh process.
#include <benchmark/benchmark.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "codec/tessel_codec.h"

namespace {

void WriteToVector(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// Gradients, hard-edged shapes, a soft alpha ramp and a little noise: compresses like artwork
// rather than like a flat fill or like pure noise.
std::vector<uint8_t> MakePng(uint32_t width, uint32_t height, bool alpha) {
  const int channels = alpha ? 4 : 3;
  std::vector<uint8_t> pixels(size_t{width} * height * channels);
  std::mt19937 random(7);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &pixels[(size_t{y} * width + x) * channels];
      const bool inShape = ((x / 200 + y / 150) % 3) == 0;
      const int noise = static_cast<int>(random() % 5) - 2;
      p[0] = static_cast<uint8_t>(x * 255 / width + noise);
      p[1] = static_cast<uint8_t>(inShape ? 40 : y * 255 / height);
      p[2] = static_cast<uint8_t>(((x ^ y) & 0x3f) + (inShape ? 150 : 0));
      if (alpha) p[3] = static_cast<uint8_t>(inShape ? 255 : (x + y) * 255 / (width + height));
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
  png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) png_write_row(png, &pixels[size_t{y} * width * channels]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

const std::vector<uint8_t>& File(int which) {
  static const std::vector<uint8_t> files[] = {MakePng(4000, 3000, true),
                                               MakePng(4000, 3000, false), MakePng(640, 480, true)};
  return files[which];
}

const char* FileLabel(int which) {
  static const char* const kLabels[] = {"4000x3000 RGBA", "4000x3000 RGB", "640x480 RGBA"};
  return kLabels[which];
}

void BM_Png_Codec(benchmark::State& state) {
  const std::vector<uint8_t>& file = File(static_cast<int>(state.range(0)));
  uint32_t size = 0;
  for (auto _ : state) {
    ImageDescriptor descriptor{};
    void* pixels = nullptr;
    if (!TesselLoadPNG(file.data(), static_cast<uint32_t>(file.size()), &descriptor, &pixels,
                       &size)) {
      state.SkipWithError(descriptor.ErrorMessage);
      break;
    }
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetLabel(FileLabel(static_cast<int>(state.range(0))));
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void BM_Png_LibpngSimplified(benchmark::State& state) {
  const std::vector<uint8_t>& file = File(static_cast<int>(state.range(0)));
  size_t size = 0;
  for (auto _ : state) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
      state.SkipWithError(image.message);
      break;
    }
    image.format = PNG_FORMAT_BGRA;
    size = PNG_IMAGE_SIZE(image);
    void* pixels = std::malloc(size);
    if (pixels == nullptr || !png_image_finish_read(&image, nullptr, pixels, 0, nullptr)) {
      std::free(pixels);
      png_image_free(&image);
      state.SkipWithError("simplified read failed");
      break;
    }
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetLabel(FileLabel(static_cast<int>(state.range(0))));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

BENCHMARK(BM_Png_Codec)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Png_LibpngSimplified)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

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
  const std::vector<uint8_t> bytes = MakePng(64, 64, true);
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
