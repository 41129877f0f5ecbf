// A soak run: a pool of confined workers serves several threads for MINUTES with a mix of PNG
// and SVG loads at random sizes, re-renders of kept documents, frees, failures (corrupt files, a
// decompression bomb, an oversized SVG target) and cancellations, while the workers' and the
// client's resident memory is sampled. Prints a table over time; exits 1 when a load failed or
// succeeded where it should not have, or came back with wrong pixels.
//
//   tessel_soak [MINUTES] [THREADS] [WORKERS]      (defaults: 3, 4, 2)
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/worker_pool.h"
#include "foundation/process_memory.h"
#include "tests/codec/codec_support.h"

namespace tessel {
namespace {

using Clock = std::chrono::steady_clock;

enum Outcome {
  kServed,      // pixels as asked
  kRerendered,  // a kept document drawn again at another size
  kCorrupt,     // a corrupt PNG or SVG refused
  kBomb,        // the decompression bomb refused (or its worker ended)
  kOversized,   // an SVG target beyond the handover refused
  kCancelled,   // a load whose worker was killed under it
  kUnexpected,  // anything else: the run fails
  kOutcomes
};
constexpr const char* kOutcomeNames[kOutcomes] = {"served",    "re-rendered", "corrupt",   "bomb",
                                                  "oversized", "cancelled",   "UNEXPECTED"};

std::span<const std::byte> Bytes(const std::vector<uint8_t>& bytes) {
  return std::as_bytes(std::span(bytes));
}
std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}

// One colour over the whole picture, so that every pixel of a rendering can be checked.
std::string PlainSvg(uint32_t width, uint32_t height, int r, int g, int b) {
  char fill[8];
  std::snprintf(fill, sizeof fill, "#%02x%02x%02x", r, g, b);
  // Stretched to any target, so that no border is left transparent.
  const std::string w = std::to_string(width), h = std::to_string(height);
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + w + "' height='" + h +
         "' viewBox='0 0 " + w + " " + h + "' preserveAspectRatio='none'><rect width='" + w +
         "' height='" + h + "' fill='" + fill + "'/></svg>";
}

bool AllPixels(std::span<const std::byte> pixels, int r, int g, int b) {
  for (size_t i = 0; i + 4 <= pixels.size(); i += 4) {
    if (pixels[i] != std::byte(b) || pixels[i + 1] != std::byte(g) ||
        pixels[i + 2] != std::byte(r) || pixels[i + 3] != std::byte{255})
      return false;
  }
  return !pixels.empty();
}

// Seconds of work at 1500 x 1500: long enough to be cancelled in the middle.
const std::string kSlowSvg =
    "<svg xmlns='http://www.w3.org/2000/svg' width='100' height='100'><filter id='f'>"
    "<feTurbulence baseFrequency='0.05' numOctaves='8'/></filter><rect width='100' "
    "height='100' filter='url(#f)'/></svg>";

// 30000 x 30000 1-bit grey, all zeros: 110 KB that inflate to 112 MB of rows and a 3.6 GB raster.
std::vector<uint8_t> MakeBomb() {
  constexpr uint32_t kSide = 30000;
  std::vector<uint8_t> png = codec_test::MakePngStart(kSide, kSide, 1, 0);
  const std::vector<uint8_t> row(1 + (kSide + 7) / 8, 0);
  z_stream stream{};
  deflateInit(&stream, 9);
  std::vector<uint8_t> compressed(1 << 20);
  std::vector<uint8_t> idat;
  for (uint32_t y = 0; y <= kSide; ++y) {
    stream.next_in = const_cast<uint8_t*>(row.data());
    stream.avail_in = y < kSide ? static_cast<uInt>(row.size()) : 0;
    const int flush = y < kSide ? Z_NO_FLUSH : Z_FINISH;
    do {
      stream.next_out = compressed.data();
      stream.avail_out = static_cast<uInt>(compressed.size());
      deflate(&stream, flush);
      idat.insert(idat.end(), compressed.data(), stream.next_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  codec_test::AppendChunk(&png, "IDAT", idat);
  codec_test::AppendChunk(&png, "IEND", {});
  return png;
}

uint64_t Resident(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  CProcessMemoryApi api(path.c_str());
  ProcessMemoryCounters counters;
  return QueryProcessMemory(api, counters) ? counters.workingSetSize : 0;
}

struct Inputs {
  std::vector<std::vector<uint8_t>> pngs;  // valid, at random sizes
  std::vector<std::pair<uint32_t, uint32_t>> pngSizes;
  std::vector<std::vector<uint8_t>> corrupt;  // PNG and SVG that must be refused
  std::vector<uint8_t> bomb;
};

Inputs MakeInputs(std::mt19937& random) {
  Inputs inputs;
  const int colorTypes[] = {0, 2, 3, 4, 6};
  for (int i = 0; i < 24; ++i) {
    const uint32_t width = 1 + random() % 400, height = 1 + random() % 400;
    inputs.pngs.push_back(codec_test::EncodePng(codec_test::MakeSampleImage(
        colorTypes[i % 5], 8, i % 3 == 0, i % 2 == 0, width, height, static_cast<uint32_t>(i))));
    inputs.pngSizes.emplace_back(width, height);
  }
  for (int i = 0; i < 8; ++i) {
    // Cut short, or with the image data scrambled after a sound header.
    std::vector<uint8_t> png = inputs.pngs[i];
    if (i % 2 == 0) {
      png.resize(png.size() / 2);
    } else {
      for (size_t at = 41; at < png.size(); at += 7) png[at] ^= 0x5a;
    }
    inputs.corrupt.push_back(std::move(png));
  }
  const std::string badSvg = "<svg xmlns='http://www.w3.org/2000/svg' width='10'><rect";
  inputs.corrupt.emplace_back(badSvg.begin(), badSvg.end());
  inputs.bomb = MakeBomb();
  return inputs;
}

struct Counters {
  std::atomic<uint64_t> outcomes[kOutcomes]{};
  std::mutex mutex;
  std::vector<std::string> unexpected;  // the first few, for the report

  void Count(Outcome outcome, const std::string& what = {}) {
    ++outcomes[outcome];
    if (outcome != kUnexpected) return;
    std::lock_guard lock(mutex);
    if (unexpected.size() < 10) unexpected.push_back(what);
  }
};

class Soak {
 public:
  Soak(WorkerPool& pool, const Inputs& inputs, Counters& counters)
      : pool_(pool), inputs_(inputs), counters_(counters) {}

  void Run(uint32_t seed, Clock::time_point end) {
    std::mt19937 random(seed);
    uint64_t id = uint64_t{seed} << 32;
    while (Clock::now() < end) {
      const unsigned pick = random() % 100;
      ++id;
      if (pick < 35) {
        Png(random, id);
      } else if (pick < 65) {
        Svg(random, id);
      } else if (pick < 80) {
        Rerender(random, id);
      } else if (pick < 88) {
        Corrupt(random, id);
      } else if (pick < 91) {
        Bomb(id);
      } else if (pick < 95) {
        Oversized(id);
      } else {
        Cancel(random, id);
      }
    }
  }

 private:
  void Png(std::mt19937& random, uint64_t id) {
    const size_t which = random() % inputs_.pngs.size();
    Result<LoadedImage> image = pool_.Load(id, Bytes(inputs_.pngs[which]), "a.png");
    const auto [width, height] = inputs_.pngSizes[which];
    if (!image) return counters_.Count(kUnexpected, "PNG: " + image.Error().Message());
    if (image->PixelWidth() != width || image->PixelHeight() != height ||
        image->Pixels().size() != size_t{width} * height * 4)
      return counters_.Count(kUnexpected, "PNG of the wrong size");
    counters_.Count(kServed);
  }

  void Svg(std::mt19937& random, uint64_t id) {
    const uint32_t width = 1 + random() % 600, height = 1 + random() % 600;
    const int r = random() % 256, g = random() % 256, b = random() % 256;
    const std::string svg = PlainSvg(1 + random() % 300, 1 + random() % 300, r, g, b);
    Result<LoadedImage> image = pool_.Load(id, Bytes(svg), "a.svg", {width, height});
    if (!image) return counters_.Count(kUnexpected, "SVG: " + image.Error().Message());
    if (image->PixelWidth() != width || image->PixelHeight() != height ||
        !AllPixels(image->Pixels(), r, g, b))
      return counters_.Count(kUnexpected, "SVG with wrong pixels");
    counters_.Count(kServed);
  }

  // The document stays in the worker under its id and is drawn again without being sent again.
  void Rerender(std::mt19937& random, uint64_t id) {
    Result<WorkerPool::Lease> lease = pool_.Acquire();
    if (!lease) return counters_.Count(kUnexpected, "no worker: " + lease.Error().Message());
    const int r = random() % 256, g = random() % 256, b = random() % 256;
    const std::string svg = PlainSvg(50, 40, r, g, b);
    bool right = true;
    for (int i = 0; i < 3 && right; ++i) {
      const uint32_t width = 1 + random() % 500, height = 1 + random() % 500;
      Result<LoadedImage> image = lease->Images().Load(
          id, i == 0 ? Bytes(svg) : std::span<const std::byte>(), "a.svg", {width, height});
      right = image && image->PixelWidth() == width && image->PixelHeight() == height &&
              AllPixels(image->Pixels(), r, g, b);
    }
    const bool freed = lease->Images().Free(id).Ok();
    if (!right || !freed) return counters_.Count(kUnexpected, "re-render or free failed");
    counters_.Count(kRerendered);
  }

  void Corrupt(std::mt19937& random, uint64_t id) {
    const size_t which = random() % inputs_.corrupt.size();
    const bool svg = which + 1 == inputs_.corrupt.size();
    Result<LoadedImage> image =
        pool_.Load(id, Bytes(inputs_.corrupt[which]), svg ? "bad.svg" : "bad.png", {64, 64});
    // Refused by the worker, which goes on.
    if (image || image.Error().Kind() != ErrorKind::kRefused)
      return counters_.Count(kUnexpected, "corrupt input: " + (image ? std::string("served")
                                                                     : image.Error().Message()));
    counters_.Count(kCorrupt);
  }

  void Bomb(uint64_t id) {
    Result<LoadedImage> image = pool_.Load(id, Bytes(inputs_.bomb), "bomb.png");
    if (image) return counters_.Count(kUnexpected, "the bomb was served");
    counters_.Count(kBomb);
  }

  void Oversized(uint64_t id) {
    Result<LoadedImage> image =
        pool_.Load(id, Bytes(PlainSvg(10, 10, 1, 2, 3)), "a.svg", {40000, 40000});
    if (image) return counters_.Count(kUnexpected, "a 40000 x 40000 target was served");
    counters_.Count(kOversized);
  }

  // Killed from another thread while it renders, as a cancelled load is; the pool starts a new
  // worker for the slot.
  void Cancel(std::mt19937& random, uint64_t id) {
    Result<WorkerPool::Lease> lease = pool_.Acquire();
    if (!lease) return counters_.Count(kUnexpected, "no worker: " + lease.Error().Message());
    const pid_t pid = lease->GetSession().WorkerPid();
    std::mutex mutex;
    std::condition_variable done;
    bool loading = true;
    const auto delay = std::chrono::milliseconds(5 + random() % 200);
    std::thread killer([&] {
      std::unique_lock lock(mutex);
      if (!done.wait_for(lock, delay, [&] { return !loading; })) (void)pool_.KillLeased(pid);
    });
    Result<LoadedImage> image = lease->Images().Load(id, Bytes(kSlowSvg), "slow.svg", {1500, 1500});
    {
      std::lock_guard lock(mutex);
      loading = false;
    }
    done.notify_one();
    killer.join();
    if (image) {
      // It finished first; the worker keeps it until it is freed.
      (void)lease->Images().Free(id);
      return counters_.Count(kServed);
    }
    if (image.Error().Kind() != ErrorKind::kWorkerEnded)
      return counters_.Count(kUnexpected, "cancelled load: " + image.Error().Message());
    counters_.Count(kCancelled);
  }

  WorkerPool& pool_;
  const Inputs& inputs_;
  Counters& counters_;
};

double Mib(uint64_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

int Main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 3;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
  const int workers = argc > 3 ? std::atoi(argv[3]) : 2;
  if (minutes <= 0 || threads <= 0 || workers <= 0) {
    std::fprintf(stderr, "usage: tessel_soak [MINUTES] [THREADS] [WORKERS]\n");
    return 2;
  }
  std::mt19937 random(20261207);
  std::printf("making inputs...\n");
  const Inputs inputs = MakeInputs(random);

  // The workers' logs go to a folder of the run's own, removed at the end.
  std::string logs = std::filesystem::temp_directory_path() / "tessel-soak-XXXXXX";
  if (::mkdtemp(logs.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  Counters counters;
  uint64_t workerMin = UINT64_MAX, workerMax = 0, clientMax = 0;
  {
    WorkerPoolOptions options;
    options.workers = static_cast<size_t>(workers);
    options.session.logFolder = logs + "/";
    WorkerPool pool(options);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(minutes * 60));
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
      running.emplace_back([&, t] { Soak(pool, inputs, counters).Run(1000 + t, end); });
    }
    const auto every = std::max<Clock::duration>(std::chrono::seconds(5), (end - start) / 12);
    std::printf("%7s %8s %8s %8s %6s %6s %6s %6s %6s %16s %10s\n", "seconds", "served", "re-rend",
                "failed", "corrupt", "bomb", "over", "cancel", "UNEXP", "worker MiB", "client MiB");
    for (auto next = start + every;; next += every) {
      const bool last = next >= end;
      std::this_thread::sleep_until(std::min(next, end));
      uint64_t low = UINT64_MAX, high = 0;
      for (pid_t pid : pool.WorkerPids()) {
        const uint64_t resident = Resident(pid);
        if (resident == 0) continue;  // ended between the two calls
        low = std::min(low, resident);
        high = std::max(high, resident);
      }
      const uint64_t client = Resident(::getpid());
      if (high > 0) {
        workerMin = std::min(workerMin, low);
        workerMax = std::max(workerMax, high);
      }
      clientMax = std::max(clientMax, client);
      const auto& o = counters.outcomes;
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      char span[32] = "-";
      if (high > 0) std::snprintf(span, sizeof span, "%.1f-%.1f", Mib(low), Mib(high));
      std::printf(
          "%7.0f %8llu %8llu %8llu %6llu %6llu %6llu %6llu %6llu %16s %10.1f\n", seconds,
          static_cast<unsigned long long>(o[kServed].load()),
          static_cast<unsigned long long>(o[kRerendered].load()),
          static_cast<unsigned long long>(o[kCorrupt] + o[kBomb] + o[kOversized] + o[kCancelled]),
          static_cast<unsigned long long>(o[kCorrupt].load()),
          static_cast<unsigned long long>(o[kBomb].load()),
          static_cast<unsigned long long>(o[kOversized].load()),
          static_cast<unsigned long long>(o[kCancelled].load()),
          static_cast<unsigned long long>(o[kUnexpected].load()), span, Mib(client));
      std::fflush(stdout);
      if (last) break;
    }
    for (std::thread& thread : running) thread.join();
    pool.Close();
  }
  std::error_code ignored;
  std::filesystem::remove_all(logs, ignored);

  uint64_t total = 0;
  for (int i = 0; i < kOutcomes; ++i) total += counters.outcomes[i];
  std::printf("\n%llu requests:", static_cast<unsigned long long>(total));
  for (int i = 0; i < kOutcomes; ++i) {
    std::printf(" %s %llu%s", kOutcomeNames[i],
                static_cast<unsigned long long>(counters.outcomes[i].load()),
                i + 1 < kOutcomes ? "," : "\n");
  }
  std::printf("worker resident memory %.1f-%.1f MiB over the run, client at most %.1f MiB\n",
              workerMin == UINT64_MAX ? 0.0 : Mib(workerMin), Mib(workerMax), Mib(clientMax));
  for (const std::string& what : counters.unexpected) std::printf("unexpected: %s\n", what.c_str());
  return counters.outcomes[kUnexpected] == 0 && total > 0 ? 0 : 1;
}

}  // namespace
}  // namespace tessel

int main(int argc, char** argv) {
  return tessel::Main(argc, argv);
}
