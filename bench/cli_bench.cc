// The tool's PNG writer: encode time and output size for each choice of row filter, zlib level
// and zlib strategy, on a photograph-like image and on drawings rendered by the codec at 2048 x
// 2048. The baseline is libpng's own choice (every filter tried per row, level 6, Z_FILTERED),
// measured in the same run; "ratio" is the file's size over the raw RGBA bytes. With libdeflate
// at hand, SUB-filtered rows compressed whole by it are measured too.
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "client/cli/color.h"
#include "client/cli/png_file.h"
#include "codec/tessel_codec.h"
#include "platform/unique_fd.h"
#if TESSEL_BENCH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

using tessel::cli::CPixels;
using tessel::cli::PngSettings;

constexpr uint32_t kSide = 2048;

// Several octaves of smooth value noise for light and hue, with a grain of a few levels on top:
// like a photograph, no two neighbours are quite equal, yet nearby pixels are close.
std::vector<std::byte> MakePhoto() {
  std::mt19937 random(3);
  constexpr int kOctaves[] = {512, 128, 32, 8};
  constexpr float kWeights[] = {0.55f, 0.25f, 0.13f, 0.07f};
  std::vector<float> light(size_t{kSide} * kSide, 0.0f), hue(light.size(), 0.0f);
  for (int o = 0; o < 4; ++o) {
    const int cell = kOctaves[o];
    const int cells = kSide / cell + 2;
    std::vector<float> grid(size_t(cells) * cells), tint(grid.size());
    for (size_t i = 0; i < grid.size(); ++i) {
      grid[i] = float(random() % 1000) / 1000.0f;
      tint[i] = float(random() % 1000) / 1000.0f;
    }
    for (uint32_t y = 0; y < kSide; ++y) {
      const int gy = int(y) / cell;
      const float fy = float(int(y) % cell) / float(cell);
      for (uint32_t x = 0; x < kSide; ++x) {
        const int gx = int(x) / cell;
        const float fx = float(int(x) % cell) / float(cell);
        auto at = [&](const std::vector<float>& g) {
          auto v = [&](int i, int j) { return g[size_t(gy + j) * cells + size_t(gx + i)]; };
          const float top = v(0, 0) + (v(1, 0) - v(0, 0)) * fx;
          const float bottom = v(0, 1) + (v(1, 1) - v(0, 1)) * fx;
          return top + (bottom - top) * fy;
        };
        light[size_t{y} * kSide + x] += kWeights[o] * at(grid);
        hue[size_t{y} * kSide + x] += kWeights[o] * at(tint);
      }
    }
  }
  std::vector<std::byte> bgra(light.size() * 4);
  for (size_t i = 0; i < light.size(); ++i) {
    const float l = light[i] * 255.0f, h = hue[i] - 0.5f;
    auto channel = [&](float value) {
      const int grain = int(random() % 7) - 3;
      return std::byte(std::clamp(int(value) + grain, 0, 255));
    };
    bgra[i * 4 + 0] = channel(l * (1.0f - h));
    bgra[i * 4 + 1] = channel(l);
    bgra[i * 4 + 2] = channel(l * (1.0f + h));
    bgra[i * 4 + 3] = std::byte{255};
  }
  return bgra;
}

void* Allocate(uint32_t size) {
  return std::malloc(size);
}

// One of the sample drawings as the worker hands it over: premultiplied BGRA, 2048 x 2048.
std::vector<std::byte> Render(const char* name) {
  std::ifstream in(std::string(TESSEL_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  const std::string svg(std::istreambuf_iterator<char>(in), {});
  ImageDescriptor descriptor{};
  if (svg.empty() ||
      !TesselLoadSVGFromData(svg.data(), static_cast<uint32_t>(svg.size()), &descriptor))
    return {};
  void* raster = TesselGetSGVBuffer(descriptor.SvgHandle, kSide, kSide, Allocate);
  TesselFreeSVG(descriptor.SvgHandle);
  if (raster == nullptr) return {};
  const auto* bytes = static_cast<const std::byte*>(raster);
  std::vector<std::byte> bgra(bytes, bytes + size_t{kSide} * kSide * 4);
  std::free(raster);
  return bgra;
}

const std::vector<std::byte>& Image(int which) {
  static const std::vector<std::byte> images[] = {MakePhoto(), Render("chart.svg"),
                                                  Render("tiles.svg"), Render("logo.svg")};
  return images[which];
}

const char* const kImageNames[] = {"photo", "chart.svg", "tiles.svg", "logo.svg"};
constexpr int kFilters[] = {PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_PAETH, PNG_ALL_FILTERS};
const char* const kFilterNames[] = {"SUB", "UP", "PAETH", "adaptive"};
const char* StrategyName(int strategy) {
  return strategy == Z_RLE ? "RLE" : strategy == Z_FILTERED ? "FILTERED" : "default";
}

// Args: image, filter (index in kFilters), zlib level, zlib strategy.
void BM_Encode(benchmark::State& state) {
  const std::vector<std::byte>& bgra = Image(int(state.range(0)));
  if (bgra.empty()) {
    state.SkipWithError("cannot render the sample drawing");
    return;
  }
  const PngSettings settings{kFilters[state.range(1)], int(state.range(2)), int(state.range(3))};
  const CPixels image{kSide, kSide, bgra, std::nullopt};
  tessel::CUniqueFd file(::memfd_create("cli_bench", MFD_CLOEXEC));
  std::string error;
  off_t size = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (::ftruncate(file.Get(), 0) != 0 || ::lseek(file.Get(), 0, SEEK_SET) != 0) {
      state.SkipWithError("cannot reset the output");
      break;
    }
    state.ResumeTiming();
    if (!tessel::cli::EncodePng(file.Get(), image, settings, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    size = ::lseek(file.Get(), 0, SEEK_CUR);
  }
  state.SetLabel(std::string(kImageNames[state.range(0)]) + " " + kFilterNames[state.range(1)] +
                 " level " + std::to_string(settings.level) + " " +
                 StrategyName(settings.strategy));
  state.counters["ratio"] = double(size) / double(bgra.size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bgra.size()));
}

// libpng's defaults first, the candidates after; Z_RLE ignores the level past 1.
void EncodeArguments(benchmark::internal::Benchmark* b) {
  for (int image = 0; image < 4; ++image) {
    b->Args({image, 3, 6, Z_FILTERED});
    b->Args({image, 3, 9, Z_FILTERED});
    b->Args({image, 3, 9, Z_DEFAULT_STRATEGY});
    for (int filter = 0; filter < 4; ++filter) {
      for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_RLE})
        b->Args({image, filter, 1, strategy});
      b->Args({image, filter, 2, Z_FILTERED});
      if (filter != 3) b->Args({image, filter, 6, Z_FILTERED});
    }
  }
}
BENCHMARK(BM_Encode)->Apply(EncodeArguments)->Iterations(2)->Unit(benchmark::kMillisecond);

#if TESSEL_BENCH_LIBDEFLATE
// SUB-filtered rows gathered into one buffer and compressed whole: libdeflate has no streaming
// interface. Counts the conversion to straight RGBA, the filter and the compression; the chunk
// framing around the result is a few dozen bytes and left out.
void BM_EncodeLibdeflate(benchmark::State& state) {
  const std::vector<std::byte>& bgra = Image(int(state.range(0)));
  if (bgra.empty()) {
    state.SkipWithError("cannot render the sample drawing");
    return;
  }
  const size_t stride = size_t{kSide} * 4;
  std::vector<unsigned char> row(stride), filtered(kSide * (stride + 1));
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(int(state.range(1)));
  std::vector<unsigned char> out(libdeflate_zlib_compress_bound(compressor, filtered.size()));
  size_t size = 0;
  for (auto _ : state) {
    for (uint32_t y = 0; y < kSide; ++y) {
      tessel::cli::ToStraightRgba(std::span(bgra).subspan(y * stride, stride), row.data());
      unsigned char* line = &filtered[y * (stride + 1)];
      line[0] = 1;  // SUB
      for (size_t i = 0; i < stride; ++i)
        line[1 + i] = static_cast<unsigned char>(row[i] - (i >= 4 ? row[i - 4] : 0));
    }
    size = libdeflate_zlib_compress(compressor, filtered.data(), filtered.size(), out.data(),
                                    out.size());
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_compressor(compressor);
  state.SetLabel(std::string(kImageNames[state.range(0)]) + " SUB libdeflate level " +
                 std::to_string(state.range(1)));
  state.counters["ratio"] = double(size) / double(bgra.size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bgra.size()));
}
BENCHMARK(BM_EncodeLibdeflate)
    ->ArgsProduct({{0, 1, 2, 3}, {1, 6}})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
