// What the worker adds to decoding, against what no design could avoid.
//
// Each benchmark times, in turn within every iteration, the same work three ways:
//   worker:  the Load (or echo command) through a real worker and the client library;
//   inproc:  the codec library (or the echo worker's own work) called in this process on the
//            same bytes;
//   floor:   the unavoidable part of handing the output over: a memcpy of the output's size into
//            a fresh shared-memory region (created, sized, mapped, filled, unmapped, unlinked)
//            plus one raw futex round trip between two processes.
//   warm:    the same memcpy into a region made once and kept, whose pages are mapped already:
//            what a handover costs once the session's region is warm.
// The counters are the best of the iterations (other load on the machine only ever adds time):
// worker_ms, inproc_ms, floor_ms, warm_floor_ms, extra_per_floor = (worker - inproc) / floor,
// which the worker should keep at or below 1.5, and extra_per_warm_floor, the same against the
// warm floor. worker_faults is the median count of page faults the worker takes in one timed
// command (/proc/<pid>/stat), and client_faults ours.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <linux/futex.h>
#include <png.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/raw_futex_peer.h"
#include "client/image_client.h"
#include "codec/tessel_codec.h"
#include "platform/process.h"
#include "platform/shared_memory_region.h"

namespace tessel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kEchoPattern = 100;  // tessel_echo_worker: one block of Parameter bytes
constexpr uint32_t kEchoInput = 101;    // tessel_echo_worker: its input blocks back
constexpr uint32_t kEchoBytes = 64u << 20;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Time(const std::function<void()>& work) {
  const Clock::time_point begin = Clock::now();
  work();
  return Seconds(Clock::now() - begin);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Best(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

// --- the unavoidable part ---------------------------------------------------------------------

// The median of many shared-futex ping-pongs with a forked peer.
double FutexRoundTrip() {
  static const double seconds = [] {
    CRawFutexPeer peer;
    if (!peer.Valid()) return 0.0;
    std::vector<double> trips;
    for (int i = 0; i < 2000; ++i) trips.push_back(Time([&] { peer.RoundTrip(); }));
    return Median(trips);
  }();
  return seconds;
}

// A memcpy of `bytes` into a shared-memory object made for it, as an output handover must.
double FreshRegionCopy(const std::vector<unsigned char>& bytes) {
  const std::string name = "tessel-bench-copy-" + std::to_string(CurrentProcessId());
  return Time([&] {
    CSharedMemoryRegion region;
    if (!region.Create(name, bytes.size())) return;
    std::memcpy(region.Data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(region.Data());
    region.Close();
    CSharedMemoryRegion::Unlink(name);
  });
}

// The same memcpy into a region that stays mapped from one call to the next.
double WarmRegionCopy(const std::vector<unsigned char>& bytes) {
  static CSharedMemoryRegion region;
  const std::string name = "tessel-bench-warm-" + std::to_string(CurrentProcessId());
  if (region.Size() != bytes.size()) {
    region.Close();
    CSharedMemoryRegion::Unlink(name);
    if (!region.Create(name, bytes.size())) return 0;
    // Only the mapping is needed; the name would outlive a benchmark that is interrupted.
    CSharedMemoryRegion::Unlink(name);
  }
  return Time([&] {
    std::memcpy(region.Data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(region.Data());
  });
}

// Minor plus major page faults of a process so far; 0 when unknown.
uint64_t PageFaults(pid_t pid) {
  FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return 0;
  char text[1024] = {};
  const size_t got = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  // The command name may hold spaces: fields are counted from its closing parenthesis.
  const char* field = std::strrchr(text, ')');
  if (got == 0 || field == nullptr) return 0;
  unsigned long long minor = 0, major = 0;
  if (std::sscanf(field + 2, "%*c %*d %*d %*d %*d %*d %*u %llu %*u %llu", &minor, &major) != 2)
    return 0;
  return minor + major;
}

// Both processes on one CPU for the benchmark's life: the worker's work and the same work done
// here then run on the same core and cache, so that their difference is the handover's.
class CSameCpu {
 public:
  explicit CSameCpu(pid_t worker) {
    ::sched_getaffinity(0, sizeof(saved_), &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &saved_)) continue;
      CPU_SET(cpu, &one);
      break;
    }
    ::sched_setaffinity(0, sizeof(one), &one);
    ::sched_setaffinity(worker, sizeof(one), &one);
  }
  ~CSameCpu() { ::sched_setaffinity(0, sizeof(saved_), &saved_); }
  CSameCpu(const CSameCpu&) = delete;
  CSameCpu& operator=(const CSameCpu&) = delete;

 private:
  cpu_set_t saved_;
};

// --- inputs -----------------------------------------------------------------------------------

void WriteToString(png_structp png, png_bytep data, size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

// RGBA with gradients, hard-edged shapes and a little noise, like artwork.
std::string ArtworkPng(uint32_t width, uint32_t height) {
  std::mt19937 random(7);
  std::vector<unsigned char> row(width * 4);
  std::string out;
  png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(writer);
  if (setjmp(png_jmpbuf(writer))) {
    png_destroy_write_struct(&writer, &info);
    return std::string();
  }
  png_set_write_fn(writer, &out, WriteToString, nullptr);
  png_set_IHDR(writer, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(writer, info);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      unsigned char* p = &row[x * 4];
      const bool shape = ((x / 200 + y / 150) % 3) == 0;
      p[0] = static_cast<unsigned char>(x * 255 / width + random() % 5);
      p[1] = static_cast<unsigned char>(shape ? 40 : y * 255 / height);
      p[2] = static_cast<unsigned char>(((x ^ y) & 0x3f) + (shape ? 150 : 0));
      p[3] = static_cast<unsigned char>(shape ? 255 : (x + y) * 255 / (width + height));
    }
    png_write_row(writer, row.data());
  }
  png_write_end(writer, nullptr);
  png_destroy_write_struct(&writer, &info);
  return out;
}

const std::string& TwelveMegapixelPng() {
  static const std::string png = ArtworkPng(4000, 3000);
  return png;
}

// One gradient over the whole picture: rendering costs little, so the handover shows.
const std::string& PlainSvg() {
  static const std::string svg =
      "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 100 100'><defs><linearGradient "
      "id='g'><stop offset='0' stop-color='#f80'/><stop offset='1' stop-color='#08f' "
      "stop-opacity='0.5'/></linearGradient></defs><rect width='100' height='100' "
      "fill='url(#g)'/></svg>";
  return svg;
}

// A few thousand shapes with gradients, strokes, opacity and transforms.
const std::string& DetailedSvg() {
  static const std::string svg = [] {
    std::mt19937 random(11);
    auto n = [&random](int max) { return std::to_string(random() % max); };
    std::string text =
        "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 1000 1000'><defs>"
        "<linearGradient id='g'><stop offset='0' stop-color='#f80'/>"
        "<stop offset='1' stop-color='#08f' stop-opacity='0.5'/></linearGradient>"
        "<radialGradient id='r'><stop offset='0' stop-color='#fff'/>"
        "<stop offset='1' stop-color='#333'/></radialGradient></defs>"
        "<rect width='1000' height='1000' fill='url(#r)'/>";
    for (int i = 0; i < 3000; ++i) {
      const std::string colour = "rgb(" + n(256) + "," + n(256) + "," + n(256) + ")";
      if (i % 3 == 0) {
        text += "<circle cx='" + n(1000) + "' cy='" + n(1000) + "' r='" + n(40) + "' fill='" +
                colour + "' fill-opacity='0.6'/>";
      } else if (i % 3 == 1) {
        text += "<rect x='" + n(1000) + "' y='" + n(1000) + "' width='" + n(80) + "' height='" +
                n(80) + "' fill='url(#g)' transform='rotate(" + n(90) + ")'/>";
      } else {
        text += "<path d='M" + n(1000) + " " + n(1000) + " C " + n(1000) + " " + n(1000) + ", " +
                n(1000) + " " + n(1000) + ", " + n(1000) + " " + n(1000) + "' fill='none' stroke='" +
                colour + "' stroke-width='" + n(6) + "'/>";
      }
    }
    return text + "</svg>";
  }();
  return svg;
}

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}

void* Allocate(uint32_t size) {
  return std::malloc(size);
}

// --- workers ----------------------------------------------------------------------------------

// A private log folder for the benchmark's workers, removed at exit.
const std::string& LogFolder() {
  static struct CFolder {
    std::string path;
    CFolder() {
      std::string pattern = TempFolder().append("tessel-image-bench-XXXXXX");
      if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~CFolder() {
      if (path.empty()) return;
      ::nftw(
          path.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS);
    }
  } folder;
  return folder.path;
}

SessionOptions WorkerOptions(const std::string& program = {}) {
  SessionOptions options;
  if (!program.empty()) options.workerPath = ExecutableFolder() + program;
  if (!LogFolder().empty())
    options.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", LogFolder() + "/");
  return options;
}

struct CSamples {
  std::vector<double> worker, inproc, floor, warm, workerFaults, clientFaults;

  void Report(benchmark::State& state, uint64_t outputBytes) const {
    const double w = Best(worker), i = Best(inproc), f = Best(floor) + FutexRoundTrip();
    const double warmFloor = warm.empty() ? 0 : Best(warm) + FutexRoundTrip();
    state.counters["worker_ms"] = w * 1e3;
    state.counters["inproc_ms"] = i * 1e3;
    state.counters["floor_ms"] = f * 1e3;
    state.counters["extra_per_floor"] = f > 0 ? (w - i) / f : 0;
    if (warmFloor > 0) {
      state.counters["warm_floor_ms"] = warmFloor * 1e3;
      state.counters["extra_per_warm_floor"] = (w - i) / warmFloor;
    }
    if (!workerFaults.empty()) state.counters["worker_faults"] = Median(workerFaults);
    if (!clientFaults.empty()) state.counters["client_faults"] = Median(clientFaults);
    state.counters["output_MiB"] = static_cast<double>(outputBytes) / (1 << 20);
  }
};

// A Load of a new Id, timed; its Free is not.
bool TimedLoad(benchmark::State& state, ImageSession& images, uint64_t id, const std::string& bytes,
               const char* name, TargetSize target, CSamples& samples) {
  bool loaded = false;
  const pid_t worker = images.GetSession().WorkerPid();
  const uint64_t workerBefore = PageFaults(worker), clientBefore = PageFaults(::getpid());
  const double seconds = Time([&] {
    Result<LoadedImage> image = images.Load(id, Bytes(bytes), name, target);
    loaded = image.Ok();
    if (!loaded) state.SkipWithError(image.Error().Message().c_str());
  });
  if (!loaded) return false;
  samples.workerFaults.push_back(static_cast<double>(PageFaults(worker) - workerBefore));
  samples.clientFaults.push_back(static_cast<double>(PageFaults(::getpid()) - clientBefore));
  samples.worker.push_back(seconds);
  state.SetIterationTime(seconds);
  return images.Free(id).Ok();
}

// Loads `png` through a worker, then decodes it with the codec in this process and copies
// `pixelBytes` into a fresh and a warm region, every iteration; reports the samples.
CSamples RunPngLoad(benchmark::State& state, const std::string& png, size_t pixelBytes,
                    const char* name) {
  const std::vector<unsigned char> output(pixelBytes, 1);
  CSamples samples;
  Session session;
  if (Status started = session.Start(WorkerOptions()); !started) {
    state.SkipWithError(started.Message().c_str());
    return samples;
  }
  ImageSession images(session);
  CSameCpu placement(session.WorkerPid());
  uint64_t id = 0;
  for (auto _ : state) {
    if (!TimedLoad(state, images, ++id, png, name, {}, samples)) break;
    samples.inproc.push_back(Time([&] {
      ImageDescriptor descriptor{};
      void* pixels = nullptr;
      uint32_t size = 0;
      TesselLoadPNG(png.data(), static_cast<uint32_t>(png.size()), &descriptor, &pixels, &size);
      std::free(pixels);
    }));
    samples.floor.push_back(FreshRegionCopy(output));
    samples.warm.push_back(WarmRegionCopy(output));
  }
  samples.Report(state, output.size());
  return samples;
}

void BM_PngLoad12Megapixels(benchmark::State& state) {
  const std::string& png = TwelveMegapixelPng();
  RunPngLoad(state, png, size_t{4000} * 3000 * 4, "big.png");
  state.SetLabel("input " + std::to_string(png.size() >> 20) + " MiB");
}
BENCHMARK(BM_PngLoad12Megapixels)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

// A square PNG of range(0) megapixels, through the worker against the codec in this process.
void BM_PngLoad(benchmark::State& state) {
  const uint32_t side = static_cast<uint32_t>(std::lround(std::sqrt(state.range(0) * 1e6)));
  const CSamples samples = RunPngLoad(state, ArtworkPng(side, side), size_t{side} * side * 4,
                                      "square.png");
  state.counters["worker_per_inproc"] = Best(samples.worker) / std::max(Best(samples.inproc), 1e-9);
}
BENCHMARK(BM_PngLoad)
    ->ArgName("megapixels")
    ->Arg(1)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(11)
    ->Unit(benchmark::kMillisecond);

// The worker's peak resident memory (VmHWM) over one Load of a 64-megapixel RGBA PNG: the
// pixels are 256 MiB, and they exist once in the worker's heap and once in the region.
void BM_PngLoad64MegapixelsPeakMemory(benchmark::State& state) {
  const std::string png = ArtworkPng(8192, 8192);
  for (auto _ : state) {
    Session session;
    if (Status started = session.Start(WorkerOptions()); !started) {
      state.SkipWithError(started.Message().c_str());
      return;
    }
    ImageSession images(session);
    Result<LoadedImage> image = images.Load(1, Bytes(png), "huge.png");
    if (!image) {
      state.SkipWithError(image.Error().Message().c_str());
      return;
    }
    std::ifstream status("/proc/" + std::to_string(session.WorkerPid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0)
        state.counters["worker_peak_MiB"] = std::stod(line.substr(6)) / 1024;
    }
  }
}
BENCHMARK(BM_PngLoad64MegapixelsPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same Load through a confined and an unconfined worker, alternating, so that both see the
// same machine: the confinement must cost nothing measurable once the worker runs.
void BM_PngLoad12MegapixelsConfinedVsUnconfined(benchmark::State& state) {
  const std::string& png = TwelveMegapixelPng();
  SessionOptions confinedOptions = WorkerOptions(), unconfinedOptions = WorkerOptions();
  unconfinedOptions.confinement = ConfinementMode::kOff;
  Session confined, unconfined;
  for (auto [session, options] : {std::pair{&confined, &confinedOptions},
                                  std::pair{&unconfined, &unconfinedOptions}}) {
    if (Status started = session->Start(*options); !started) {
      state.SkipWithError(started.Message().c_str());
      return;
    }
  }
  ImageSession confinedImages(confined), unconfinedImages(unconfined);
  CSamples confinedSamples, unconfinedSamples;
  uint64_t id = 0;
  for (auto _ : state) {
    ++id;
    if (!TimedLoad(state, unconfinedImages, id, png, "big.png", {}, unconfinedSamples) ||
        !TimedLoad(state, confinedImages, id, png, "big.png", {}, confinedSamples)) {
      break;
    }
  }
  const double c = Median(confinedSamples.worker), u = Median(unconfinedSamples.worker);
  state.counters["confined_ms"] = c * 1e3;
  state.counters["unconfined_ms"] = u * 1e3;
  state.counters["confined_per_unconfined"] = u > 0 ? c / u : 0;
}
BENCHMARK(BM_PngLoad12MegapixelsConfinedVsUnconfined)
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMillisecond);

// Arg 1: the detailed document, whose rendering time varies between two processes by more than
// the handover costs; arg 0: a plain one, where the handover is most of the work.
void BM_SvgLoadAt2048(benchmark::State& state) {
  const std::string& svg = state.range(0) != 0 ? DetailedSvg() : PlainSvg();
  const std::vector<unsigned char> output(size_t{2048} * 2048 * 4, 1);
  Session session;
  if (Status started = session.Start(WorkerOptions()); !started) {
    state.SkipWithError(started.Message().c_str());
    return;
  }
  ImageSession images(session);
  CSameCpu placement(session.WorkerPid());
  CSamples samples;
  uint64_t id = 0;
  for (auto _ : state) {
    if (!TimedLoad(state, images, ++id, svg, "detail.svg", {2048, 2048}, samples)) break;
    samples.inproc.push_back(Time([&] {
      ImageDescriptor descriptor{};
      if (TesselLoadSVGFromData(svg.data(), static_cast<uint32_t>(svg.size()), &descriptor)) {
        std::free(TesselGetSGVBuffer(descriptor.SvgHandle, 2048, 2048, Allocate));
        TesselFreeSVG(descriptor.SvgHandle);
      }
    }));
    samples.floor.push_back(FreshRegionCopy(output));
  }
  samples.Report(state, output.size());
}
BENCHMARK(BM_SvgLoadAt2048)
    ->ArgName("detailed")
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

// The handover alone: 64 MiB through BufferRequest from the echo worker, whose own work (making
// the bytes) is what "inproc" times here.
// Arg 1: the session's region is given back (untimed) before every command, so each output goes
// into fresh pages, as when a region was made anew per output; arg 0: the steady state.
void BM_Output64MiBThroughBufferRequest(benchmark::State& state) {
  const bool fresh = state.range(0) != 0;
  const std::vector<unsigned char> output(kEchoBytes, 1);
  Session session;
  if (Status started = session.Start(WorkerOptions("tessel_echo_worker")); !started) {
    state.SkipWithError(started.Message().c_str());
    return;
  }
  CSameCpu placement(session.WorkerPid());
  CSamples samples;
  for (auto _ : state) {
    // As after CloseBuffer, the worker maps the trimmed region again for a command with input.
    const std::byte one{1};
    const BlockSpan input[] = {BlockSpan(&one, 1)};
    if (fresh && (!session.TrimSharedMemory() || !session.Send(kEchoInput, 0, input).Ok())) {
      state.SkipWithError("cannot trim the session's region");
      break;
    }
    const uint64_t workerBefore = PageFaults(session.WorkerPid());
    bool answered = false;
    const double seconds = Time([&] {
      Result<Reply> reply = session.Send(kEchoPattern, kEchoBytes);
      answered = reply.Ok() && reply->Succeeded() && reply->blocks.size() == 1 &&
                 reply->blocks[0].size() == kEchoBytes;
    });
    if (!answered) {
      state.SkipWithError("the echo worker did not return 64 MiB");
      break;
    }
    samples.worker.push_back(seconds);
    samples.workerFaults.push_back(
        static_cast<double>(PageFaults(session.WorkerPid()) - workerBefore));
    state.SetIterationTime(seconds);
    samples.inproc.push_back(Time([] {
      std::vector<unsigned char> bytes(kEchoBytes);
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k % 251);
      benchmark::DoNotOptimize(bytes.data());
    }));
    samples.floor.push_back(FreshRegionCopy(output));
    samples.warm.push_back(WarmRegionCopy(output));
  }
  samples.Report(state, kEchoBytes);
}
BENCHMARK(BM_Output64MiBThroughBufferRequest)
    ->ArgName("fresh")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
