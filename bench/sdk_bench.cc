// A batch of 200 small images (100 SVG drawings, 100 PNG photos-like noise) loaded through the
// public Loader, asynchronously, with 1 worker and with 2 and 4: the loader's speed-up is the
// batch time with one worker over the batch time with N, all measured in the same run. Workers
// are started before the clock runs. Counters: images_per_s, and speedup_vs_1 for N > 1 (against
// the 1-worker figure of this run). This machine has 2 cores, so 2 is the most that can help.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tessel/tessel.hpp"
#include "tests/codec/codec_support.h"

namespace tessel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 200;

std::vector<Source> MakeBatch() {
  std::vector<Source> batch;
  for (int i = 0; i < kBatch / 2; ++i) {
    std::string svg =
        "<svg xmlns='http://www.w3.org/2000/svg' width='128' height='128'>"
        "<linearGradient id='g'><stop offset='0' stop-color='#" +
        std::to_string(100000 + i * 7919 % 800000) +
        "'/><stop offset='1' stop-color='white'/></linearGradient>"
        "<rect width='128' height='128' rx='" +
        std::to_string(i % 40) +
        "' fill='url(#g)'/>"
        "<circle cx='64' cy='64' r='" +
        std::to_string(10 + i % 50) +
        "' fill='navy' fill-opacity='0.6'/><text x='8' y='120' font-size='14'>" +
        std::to_string(i) + "</text></svg>";
    const auto* data = reinterpret_cast<const std::byte*>(svg.data());
    batch.push_back(Source::FromBytes(std::vector<std::byte>(data, data + svg.size())));
    const codec_test::CSampleImage sample = codec_test::MakeSampleImage(
        PNG_COLOR_TYPE_RGBA, 8, false, false, 128, 128, static_cast<uint32_t>(i));
    const std::vector<uint8_t> png = codec_test::EncodePng(sample);
    const auto* bytes = reinterpret_cast<const std::byte*>(png.data());
    batch.push_back(Source::FromBytes(std::vector<std::byte>(bytes, bytes + png.size())));
  }
  return batch;
}

double LoadBatch(Loader& loader, const std::vector<Source>& batch, int64_t& failures) {
  const Clock::time_point start = Clock::now();
  std::vector<PendingLoad> pending;
  pending.reserve(batch.size());
  for (const Source& source : batch) pending.push_back(loader.LoadAsync(source));
  for (PendingLoad& load : pending) {
    Image image;
    if (!load.Get(image)) ++failures;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best batch time of each worker count so far in this run, for the speed-up.
std::map<int64_t, double>& BestSeconds() {
  static std::map<int64_t, double> best;
  return best;
}

void BM_LoaderBatch(benchmark::State& state) {
  const std::vector<Source> batch = MakeBatch();
  LoaderOptions options;
  options.workers = static_cast<size_t>(state.range(0));
  Loader loader(options);
  int64_t failures = 0;
  // Every worker started: a first round of as many loads as there are workers, all at once.
  std::vector<Source> warm(batch.begin(), batch.begin() + state.range(0) * 2);
  LoadBatch(loader, warm, failures);
  double best = 1e300;
  for (auto _ : state) {
    const double seconds = LoadBatch(loader, batch, failures);
    state.SetIterationTime(seconds);
    best = std::min(best, seconds);
  }
  if (failures != 0) state.SkipWithError("a load failed");
  BestSeconds()[state.range(0)] = best;
  state.counters["images_per_s"] = kBatch / best;
  state.counters["batch_ms"] = best * 1000;
  if (state.range(0) > 1 && BestSeconds().count(1) != 0)
    state.counters["speedup_vs_1"] = BestSeconds()[1] / best;
}
BENCHMARK(BM_LoaderBatch)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
