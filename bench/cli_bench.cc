// The tool's PNG writer: encode time and output size for each choice of row filter, zlib level
// and zlib strategy, on a photograph-like image and on drawings rendered by the codec at 2048 x
// 2048. The baseline is libpng's own choice (every filter tried per row, level 6, Z_FILTERED),
// measured in the same run; "ratio" is the file's size over the raw RGBA bytes. The tool's default
// writer, which compresses up to 4 MiB of pixels whole with libdeflate, is measured on a quarter of
// each image against the same quarter streamed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <png.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// The tool's default writer on the top quarter of each image (2048 x 512, 4 MiB: as large as it
// compresses whole with libdeflate) against the same settings streamed through libpng and zlib
// (SUB, level 1, Z_RLE), which is what it does beyond that size. Args: image, whole (1) or
// streamed (0).
void BM_EncodeFast(benchmark::State& state) {
  const std::vector<std::byte>& full = Image(int(state.range(0)));
  if (full.empty()) {
    state.SkipWithError("cannot render the sample drawing");
    return;
  }
  constexpr uint32_t kRows = kSide / 4;
  const std::span<const std::byte> top(full.data(), size_t{kSide} * kRows * 4);
  const CPixels image{kSide, kRows, top, std::nullopt, tessel::cli::PngCompression::kFast};
  const bool whole = state.range(1) != 0;
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
    const bool written =
        whole ? tessel::cli::EncodePng(file.Get(), image, error)
              : tessel::cli::EncodePng(file.Get(), image,
                                       tessel::cli::SettingsFor(image.compression), error);
    if (!written) {
      state.SkipWithError(error.c_str());
      break;
    }
    size = ::lseek(file.Get(), 0, SEEK_CUR);
  }
  state.SetLabel(std::string(kImageNames[state.range(0)]) + " top quarter, " +
                 (whole ? "whole by libdeflate" : "streamed SUB level 1 RLE"));
  state.counters["ratio"] = double(size) / double(top.size());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(top.size()));
}
BENCHMARK(BM_EncodeFast)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// `tessel render` of a batch of 200 small SVG files (written to a fresh folder) at -j 1 and at
// -j 2, alternating in one loop so that both see the same machine; the tool is started anew for
// every run, as a user starts it. The share is the ratio of the medians of the wall times.
std::vector<std::string> WriteSvgBatch(const std::string& folder, size_t count) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < count; ++i) {
    std::string shapes;
    for (int c = 0; c < 24; ++c) {
      shapes += "<circle cx='" + std::to_string((c * 37 + i * 11) % 192) + "' cy='" +
                std::to_string((c * 53 + i * 5) % 192) + "' r='" + std::to_string(8 + c % 24) +
                "' fill='url(#g)' opacity='0.7'/>";
    }
    const std::string svg =
        "<svg xmlns='http://www.w3.org/2000/svg' width='192' height='192'><defs>"
        "<radialGradient id='g'><stop offset='0' stop-color='#" +
        std::to_string(100 + i % 900) +
        "'/><stop offset='1' stop-color='#135'/></radialGradient>"
        "</defs><rect width='192' height='192' fill='#eee'/>" +
        shapes + "</svg>";
    paths.push_back(folder + "/icon" + std::to_string(i) + ".svg");
    std::ofstream(paths.back(), std::ios::binary) << svg;
  }
  return paths;
}

// Seconds for one run of the tool; negative when it failed.
double RunTool(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto begin = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(end - begin).count();
}

void BM_RenderBatchJobs(benchmark::State& state) {
  char folderName[] = "/tmp/tessel-bench-batch-XXXXXX";
  if (::mkdtemp(folderName) == nullptr) {
    state.SkipWithError("cannot make a temporary folder");
    return;
  }
  const std::string folder = folderName;
  struct CRemove {
    std::string path;
    ~CRemove() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } remove{folder};
  const std::vector<std::string> inputs = WriteSvgBatch(folder, 200);
  std::filesystem::create_directory(folder + "/out");
  const std::string tool =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/tessel";
  const auto run = [&](const char* jobs) {
    std::vector<std::string> arguments = {tool, "render", "-j", jobs, "--out-dir", folder + "/out"};
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    return RunTool(arguments);
  };
  std::vector<double> one, two;
  for (auto _ : state) {
    const double a = run("1"), b = run("2");
    if (a < 0 || b < 0) {
      state.SkipWithError(("tessel render failed: " + tool).c_str());
      return;
    }
    one.push_back(a), two.push_back(b);
    state.SetIterationTime(b);
  }
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
  };
  const double m1 = median(one), m2 = median(two);
  state.counters["j1_ms"] = m1 * 1e3;
  state.counters["j2_ms"] = m2 * 1e3;
  state.counters["j2_per_j1"] = m1 > 0 ? m2 / m1 : 0;
}
BENCHMARK(BM_RenderBatchJobs)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
