#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tessel/tessel.hpp"
#include "tests/codec/codec_support.h"
#include "tests/support/temp_folder.h"

extern "C" int tessel_c_api_checks(const void* png, size_t pngSize, const char* slow,
                                   size_t slowSize, char* failure, size_t failureSize);

namespace tessel {
namespace {

using namespace std::chrono_literals;

std::vector<std::byte> Bytes(std::string_view text) {
  const auto* data = reinterpret_cast<const std::byte*>(text.data());
  return {data, data + text.size()};
}

std::vector<std::byte> Png(uint32_t width, uint32_t height, uint32_t seed) {
  const codec_test::CSampleImage sample =
      codec_test::MakeSampleImage(PNG_COLOR_TYPE_RGBA, 8, false, false, width, height, seed);
  const std::vector<uint8_t> png = codec_test::EncodePng(sample);
  const auto* data = reinterpret_cast<const std::byte*>(png.data());
  return {data, data + png.size()};
}

std::string Svg(int size, const char* color) {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(size) + "' height='" +
         std::to_string(size) + "'><circle cx='10' cy='10' r='8' fill='" + color +
         "' fill-opacity='0.5'/></svg>";
}

// Seconds of rendering: blurs over a large canvas.
const std::string kSlowSvg =
    "<svg xmlns='http://www.w3.org/2000/svg' width='3000' height='3000'><defs><filter id='b' "
    "x='-50%' y='-50%' width='200%' height='200%'><feGaussianBlur stdDeviation='300'/>"
    "<feGaussianBlur stdDeviation='300'/><feGaussianBlur stdDeviation='300'/></filter></defs>"
    "<g filter='url(#b)'><rect x='100' y='100' width='2800' height='2800' fill='red'/>"
    "<circle cx='1500' cy='1500' r='900' fill='blue' filter='url(#b)'/></g></svg>";

LoaderOptions Options(size_t workers) {
  LoaderOptions options;
  options.workers = workers;
  return options;
}

// Until the loader has a worker, and that worker has had time to take the load it was started
// for; a load cancelled before it reaches its worker fails the checks on the worker's pid.
pid_t RunningWorker(const Loader& loader) {
  std::vector<int> pids;
  while ((pids = loader.WorkerPids()).empty()) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(300ms);
  return pids.front();
}

std::vector<std::byte> PixelsOf(const Image& image) {
  return {image.Pixels().begin(), image.Pixels().end()};
}

TEST(LoaderTest, AsyncLoadsFromSeveralThreadsGiveTheSyncPixels) {
  std::vector<Source> sources;
  for (uint32_t i = 0; i < 6; ++i) {
    sources.push_back(Source::FromBytes(Png(5 + i, 3 + i, i)));
    sources.push_back(Source::FromBytes(Bytes(Svg(20 + int(i), i % 2 ? "red" : "navy"))));
  }
  Loader loader(Options(2));
  std::vector<std::vector<std::byte>> expected;
  for (const Source& source : sources) {
    Image image;
    ASSERT_TRUE(loader.Load(source, image)) << "sync load";
    expected.push_back(PixelsOf(image));
  }
  // Two threads with handles, two with callbacks, all at once.
  std::vector<std::vector<std::byte>> got(sources.size() * 4);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<PendingLoad> pending;
      for (size_t i = 0; i < sources.size(); ++i) {
        const size_t slot = t * sources.size() + i;
        if (t % 2 == 0) {
          pending.push_back(loader.LoadAsync(sources[i]));
        } else {
          pending.push_back(
              loader.LoadAsync(sources[i], {}, [&, slot](LoadError error, Image image) {
                if (!error) ++failures;
                got[slot] = PixelsOf(image);
              }));
        }
      }
      for (size_t i = 0; i < pending.size(); ++i) {
        Image image;
        const LoadError error = pending[i].Get(image);
        if (!error) ++failures;
        if (t % 2 == 0) got[t * sources.size() + i] = PixelsOf(image);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i], expected[i % sources.size()]) << "load " << i;
  // The PNG images are what libpng makes of them.
  std::vector<uint8_t> reference;
  const std::vector<std::byte> png = Png(5, 3, 0);
  ASSERT_TRUE(codec_test::DecodeSimplified(
      std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(png.data()),
                           reinterpret_cast<const uint8_t*>(png.data()) + png.size()),
      &reference));
  EXPECT_EQ(std::memcmp(reference.data(), expected[0].data(), reference.size()), 0);
}

TEST(LoaderTest, CancelsAQueuedLoadBeforeItRunsAndARunningOneByReplacingItsWorker) {
  Loader loader(Options(1));
  PendingLoad slow = loader.LoadAsync(Source::FromBytes(Bytes(kSlowSvg)));
  const pid_t first = RunningWorker(loader);
  bool ran = false;
  LoadError queuedError;
  PendingLoad queued =
      loader.LoadAsync(Source::FromBytes(Png(4, 4, 1)), {}, [&](LoadError error, Image) {
        ran = true;
        queuedError = error;
      });
  queued.Cancel();
  // Called on this thread, at once, while the only worker is still busy.
  EXPECT_TRUE(ran);
  EXPECT_EQ(queuedError.Code(), ErrorCode::kCancelled);
  EXPECT_FALSE(slow.Ready());

  slow.Cancel();
  Image image;
  EXPECT_EQ(slow.Get(image).Code(), ErrorCode::kCancelled);
  EXPECT_TRUE(image.Empty());
  slow.Cancel();  // finished: keeps its outcome
  EXPECT_EQ(slow.Get(image).Code(), ErrorCode::kCancelled);

  ASSERT_TRUE(loader.Load(Source::FromBytes(Png(4, 4, 1)), image));
  EXPECT_EQ(image.Width(), 4u);
  const std::vector<int> pids = loader.WorkerPids();
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_NE(pids[0], first);
  EXPECT_NE(::kill(first, 0), 0);  // reaped
}

TEST(LoaderTest, DestroyingTheLoaderCancelsWhatIsLeft) {
  PendingLoad running, waiting;
  {
    Loader loader(Options(1));
    running = loader.LoadAsync(Source::FromBytes(Bytes(kSlowSvg)));
    waiting = loader.LoadAsync(Source::FromBytes(Png(2, 2, 0)));
    RunningWorker(loader);
  }
  Image image;
  EXPECT_EQ(running.Get(image).Code(), ErrorCode::kCancelled);
  EXPECT_EQ(waiting.Get(image).Code(), ErrorCode::kCancelled);
}

TEST(LoaderErrorTest, EachKindWithItsReason) {
  CTempFolder folder;
  Loader loader(Options(1));
  Image image;
  LoadError error = loader.Load(Source::FromPath(folder / "missing.png"), image);
  EXPECT_EQ(error.Code(), ErrorCode::kNotFound);
  EXPECT_NE(error.Message().find("missing.png"), std::string::npos) << error.Message();
  EXPECT_EQ(loader.Load(Source::FromPath(""), image).Code(), ErrorCode::kInvalidArgument);
  error = loader.Load(Source::FromBytes(Bytes("GIF89a...")), image);
  EXPECT_EQ(error.Code(), ErrorCode::kUnsupportedFormat);
  EXPECT_TRUE(loader.WorkerPids().empty()) << "no worker for content nobody can decode";

  // A sound PNG header, then rubbish: the worker's decoder says what is wrong.
  std::vector<std::byte> broken = Png(8, 8, 3);
  std::memset(broken.data() + 41, 0x5a, broken.size() - 41);
  error = loader.Load(Source::FromBytes(broken), image);
  EXPECT_EQ(error.Code(), ErrorCode::kCorruptData);
  EXPECT_FALSE(error.Message().empty());
  error = loader.Load(Source::FromBytes(Bytes("<svg><g></svg>")), image);
  EXPECT_EQ(error.Code(), ErrorCode::kCorruptData);
  EXPECT_NE(error.Message().find("SVG"), std::string::npos) << error.Message();
  EXPECT_TRUE(image.Empty());

  // Over our limit, told from the header; over the codec's, refused by the worker.
  const std::vector<uint8_t> header = codec_test::MakePngStart(20000, 20000, 8, 6);
  const auto* start = reinterpret_cast<const std::byte*>(header.data());
  error =
      loader.Load(Source::FromBytes(std::vector<std::byte>(start, start + header.size())), image);
  EXPECT_EQ(error.Code(), ErrorCode::kTooLarge);
  // With a header we cannot vouch for (its CRC is wrong) the worker's decoder judges the size.
  std::vector<uint8_t> huge = codec_test::MakePngStart(40000, 40000, 8, 6);
  huge[29] ^= 0xff;
  start = reinterpret_cast<const std::byte*>(huge.data());
  error = loader.Load(Source::FromBytes(std::vector<std::byte>(start, start + huge.size())), image);
  EXPECT_EQ(error.Code(), ErrorCode::kTooLarge);
  EXPECT_NE(error.Message().find("bytes of pixels; the limit is"), std::string::npos)
      << error.Message();
  EXPECT_EQ(loader.WorkerPids().size(), 1u);
  // An SVG image's natural size is only known to the worker, whose pixels then have no room.
  LoaderOptions small = Options(1);
  small.maxPixelBytes = 4096;
  error = Loader(small).Load(Source::FromBytes(Bytes(Svg(100, "red"))), image);
  EXPECT_EQ(error.Code(), ErrorCode::kTooLarge) << error.Message();

  // A worker that faults while decoding is a crash, not a cancellation.
  PendingLoad slow = loader.LoadAsync(Source::FromBytes(Bytes(kSlowSvg)));
  ASSERT_EQ(::kill(RunningWorker(loader), SIGSEGV), 0);
  EXPECT_EQ(slow.Get(image).Code(), ErrorCode::kWorkerCrashed);
  EXPECT_TRUE(loader.Load(Source::FromBytes(Png(2, 2, 0)), image));

  LoaderOptions hasty = Options(1);
  hasty.timeout = 500ms;
  error = Loader(hasty).Load(Source::FromBytes(Bytes(kSlowSvg)), image);
  EXPECT_EQ(error.Code(), ErrorCode::kTimedOut) << error.Message();

  LoaderOptions rogue = Options(1);
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  rogue.workerPath =
      std::string(self).substr(0, std::string(self).rfind('/') + 1) + "child_rogue_worker";
  EXPECT_EQ(Loader(rogue).Load(Source::FromBytes(Png(2, 2, 0)), image).Code(),
            ErrorCode::kSandboxUnavailable);
  rogue.workerPath = folder / "no-such-worker";
  EXPECT_EQ(Loader(rogue).Load(Source::FromBytes(Png(2, 2, 0)), image).Code(),
            ErrorCode::kNotFound);
}

TEST(SourceTest, FormatIsToldByContentWhateverTheSource) {
  const struct {
    const char* head;
    ImageFormat format;
  } cases[] = {
      {"<svg xmlns='x'/>", ImageFormat::kSvg},
      {"\xef\xbb\xbf \n\t<?xml version", ImageFormat::kSvg},
      {"  <!-- drawn -->", ImageFormat::kSvg},
      {"<!DOCTYPE svg PUBLIC", ImageFormat::kSvg},
      {"\x1f\x8b\x08", ImageFormat::kSvg},
      {"<html><svg>", ImageFormat::kAuto},
      {"<!DOCTYPE html>", ImageFormat::kAuto},
      {"\x89PNG\r\n\x1a", ImageFormat::kAuto},
      {"", ImageFormat::kAuto},
      {"\xef\xbb\xbf", ImageFormat::kAuto},
  };
  for (const auto& c : cases) EXPECT_EQ(SniffFormat(Bytes(c.head)), c.format) << c.head;
  EXPECT_EQ(SniffFormat(Png(1, 1, 0)), ImageFormat::kPng);

  // An SVG document named .png, read from a descriptor; a PNG image from a stream.
  CTempFolder folder;
  const std::string path = folder.Write("drawing.png", Svg(24, "green"));
  CUniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  Loader loader(Options(1));
  Image image;
  ASSERT_TRUE(loader.Load(Source::FromFd(file.Get()), image));
  EXPECT_EQ(image.Info().format, ImageFormat::kSvg);
  EXPECT_EQ(image.Width(), 24u);
  ASSERT_TRUE(loader.Load(Source::FromPath(path), image));
  EXPECT_EQ(image.Info().format, ImageFormat::kSvg);
  const std::vector<std::byte> png = Png(7, 5, 2);
  std::istringstream stream(std::string(reinterpret_cast<const char*>(png.data()), png.size()));
  ASSERT_TRUE(loader.Load(Source::FromStream(stream), image));
  EXPECT_EQ(image.Info().format, ImageFormat::kPng);
  EXPECT_EQ(image.Width(), 7u);
  // The caller's word goes: SVG text called PNG is for the PNG decoder to refuse.
  EXPECT_EQ(loader.Load(Source::FromPath(path).Format(ImageFormat::kPng), image).Code(),
            ErrorCode::kCorruptData);
}

TEST(ImageTest, InfoWithoutPixelsAndTheSizesAskedFor) {
  Loader loader(Options(1));
  ImageInfo info;
  ASSERT_TRUE(loader.Info(Source::FromBytes(Png(640, 480, 0)), info));
  EXPECT_EQ(info.format, ImageFormat::kPng);
  EXPECT_EQ(info.width, 640u);
  EXPECT_EQ(info.height, 480u);
  EXPECT_TRUE(loader.WorkerPids().empty()) << "a PNG header needs no worker";
  ASSERT_TRUE(
      loader.Info(Source::FromBytes(
                      Bytes("<svg xmlns='http://www.w3.org/2000/svg' width='300' height='120'/>")),
                  info));
  EXPECT_EQ(info.format, ImageFormat::kSvg);
  EXPECT_EQ(info.width, 300u);
  EXPECT_EQ(info.height, 120u);
  Image image;
  LoadOptions size;
  size.width = 30;
  size.height = 12;
  ASSERT_TRUE(loader.Load(Source::FromBytes(Bytes(Svg(300, "red"))), image, size));
  EXPECT_EQ(image.Width(), 30u);
  EXPECT_EQ(image.Stride(), 120u);
  EXPECT_EQ(image.Info().width, 300u);
}

TEST(ImageTest, StraightAlphaIsExact) {
  // Known values: round(c * 255 / a), and alpha 0 is black.
  std::vector<std::byte> pixels =
      Bytes(std::string("\x40\x00\x80\x80"
                        "\x01\x01\x01\x03"
                        "\x09\x08\x07\x00"
                        "\x10\x20\x30\xff",
                        16));
  Unpremultiply(pixels);
  EXPECT_EQ(pixels, Bytes(std::string("\x80\x00\xff\x80"
                                      "\x55\x55\x55\x03"
                                      "\x00\x00\x00\x00"
                                      "\x10\x20\x30\xff",
                                      16)));
  // Every premultiplied pixel comes back from straight alpha unchanged.
  std::vector<std::byte> all;
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned c = 0; c <= a; ++c)
      all.insert(all.end(), {std::byte(c), std::byte(c), std::byte(a - c), std::byte(a)});
  }
  std::vector<std::byte> round = all;
  Unpremultiply(round);
  Premultiply(round);
  for (size_t i = 0; i < all.size(); i += 4) {
    if (all[i + 3] == std::byte{0}) continue;  // its colour is gone
    ASSERT_EQ(std::memcmp(&all[i], &round[i], 4), 0) << "pixel " << i / 4;
  }
  // Through a worker: straight pixels that premultiply to the worker's own.
  Loader loader(Options(1));
  Image premultiplied, straight;
  const Source svg = Source::FromBytes(Bytes(Svg(20, "#c08040")));
  ASSERT_TRUE(loader.Load(svg, premultiplied));
  LoadOptions options;
  options.alpha = AlphaMode::kStraight;
  ASSERT_TRUE(loader.Load(svg, straight, options));
  EXPECT_EQ(straight.Alpha(), AlphaMode::kStraight);
  EXPECT_NE(PixelsOf(straight), PixelsOf(premultiplied));
  const std::byte* center = straight.Pixels().data() + 10 * straight.Stride() + 10 * 4;
  EXPECT_EQ(std::to_integer<int>(center[0]), 0x40);       // blue, as drawn, at half opacity
  EXPECT_NEAR(std::to_integer<int>(center[2]), 0xc0, 1);  // premultiplied it is about 0x60
  straight.ConvertAlpha(AlphaMode::kPremultiplied);
  EXPECT_EQ(PixelsOf(straight), PixelsOf(premultiplied));
}

TEST(CApiTest, FromC) {
  const std::vector<std::byte> png = Png(3, 2, 5);
  char failure[512] = {};
  EXPECT_EQ(tessel_c_api_checks(png.data(), png.size(), kSlowSvg.data(), kSlowSvg.size(), failure,
                                sizeof failure),
            0)
      << failure;
}

}  // namespace
}  // namespace tessel
