// Images end to end: the client library with a real Tessel worker and the real codec library,
// on files written by libpng in the test. The tool is tested in cli_test.cc.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "client/image_client.h"
#include "client/worker_log.h"
#include "foundation/process_memory.h"
#include "platform/process.h"
#include "tests/codec/codec_support.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}
template <typename T>
std::string Text(const T& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}
template <typename T>
std::string Raw(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string Svg(uint32_t width, uint32_t height,
                const std::string& body = "<rect width='100%' height='100%' fill='#08f'/>") {
  return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
         "width='" +
         std::to_string(width) + "' height='" + std::to_string(height) + "'>" + body + "</svg>";
}

std::string SamplePng(int colorType, uint32_t width, uint32_t height, uint32_t seed,
                      bool interlaced = false, bool transparency = true) {
  return Text(codec_test::EncodePng(
      codec_test::MakeSampleImage(colorType, 8, interlaced, transparency, width, height, seed)));
}

// libpng's own reading of the file, premultiplied: what the worker must hand back.
std::string Independent(const std::string& png) {
  std::vector<uint8_t> bgra;
  const bool ok = codec_test::DecodeSimplified(std::vector<uint8_t>(png.begin(), png.end()), &bgra);
  return ok ? Text(bgra) : "undecodable";
}

// A worker whose log goes to a folder of the test's own, read back as the tool reads it.
class ImageSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session_.Start(Options()).Ok()) << session_.EndReason().Message();
    log_ = std::make_unique<WorkerLogReader>(logs_ / "", session_.Id());
  }
  SessionOptions Options() const {
    SessionOptions options;
    options.readablePaths = {temp_ / ""};
    options.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", logs_ / "");
    return options;
  }

  CTempFolder temp_, logs_;
  Session session_;
  ImageSession images_{session_};
  std::unique_ptr<WorkerLogReader> log_;
};

// Decoding once per Id is the image side's to prove (ImageProcessorTest); here the client's
// requests reach it: a size asked for, a Free, and a reload that reads the changed file.
TEST_F(ImageSessionTest, AskedSizesAndFreeReachTheWorker) {
  const std::string file = temp_.Write("Picture.SVG", Svg(40, 30));
  Result<LoadedImage> image = images_.Load(7, file);
  ASSERT_TRUE(image.Ok()) << image.Error().Message();
  EXPECT_EQ(Text(image->Pixels().first(4)), std::string("\xff\x88\x00\xff", 4));
  temp_.Write("Picture.SVG", Svg(10, 10));
  image = images_.Load(7, file, {0, 50});
  ASSERT_TRUE(image.Ok()) << image.Error().Message();
  EXPECT_EQ(image->Descriptor().Width, 40u);
  EXPECT_EQ(image->PixelWidth() * 1000 + image->PixelHeight(), 40u * 1000 + 50);
  ASSERT_TRUE(images_.Free(7).Ok());
  image = images_.Load(7, file);
  ASSERT_TRUE(image.Ok()) << image.Error().Message();
  EXPECT_EQ(image->Descriptor().Width, 10u);
}

TEST_F(ImageSessionTest, PixelsEqualAnIndependentDecodeForEveryColourType) {
  // {colour type, interlaced, width, height}; the last reply is larger than the inline area.
  const std::array<int, 4> cases[] = {
      {PNG_COLOR_TYPE_GRAY, 0, 17, 5},    {PNG_COLOR_TYPE_GRAY_ALPHA, 1, 9, 9},
      {PNG_COLOR_TYPE_PALETTE, 0, 31, 7}, {PNG_COLOR_TYPE_RGB, 1, 33, 21},
      {PNG_COLOR_TYPE_RGBA, 0, 12, 3},    {PNG_COLOR_TYPE_RGBA, 0, 1000, 700}};
  for (uint64_t i = 0; i < std::size(cases); ++i) {
    const auto [type, interlaced, width, height] = cases[i];
    const std::string png = SamplePng(type, width, height, 10 + i, interlaced);
    // Even cases from a file, odd ones as bytes: the last goes through the extended region.
    Result<LoadedImage> image = i % 2 ? images_.Load(i, Bytes(png), "bytes.png")
                                      : images_.Load(i, temp_.Write("c.png", png));
    ASSERT_TRUE(image.Ok()) << i << ": " << image.Error().Message();
    EXPECT_EQ(image->PixelWidth() * 10000 + image->PixelHeight(), width * 10000u + height) << i;
    EXPECT_TRUE(Text(image->Pixels()) == Independent(png)) << "colour type " << type;
  }
}

TEST_F(ImageSessionTest, RefusedImagesAreExplainedInTheLogAndTheWorkerGoesOn) {
  const std::string valid = SamplePng(PNG_COLOR_TYPE_RGB, 64, 64, 3);
  std::string corrupt = valid;
  corrupt[corrupt.find("IDAT") + 20] ^= 0x5a;  // the chunk's CRC no longer holds
  struct {
    std::string name, bytes, reason;
    TargetSize target{};
  } const cases[] = {
      {"huge.png", Text(codec_test::MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA)),
       "PNG decoder, header, the image is 100000 x 100000 pixels"},
      {"cut.png", valid.substr(0, valid.size() / 2), "PNG decoder"},
      {"crc.png", corrupt, "PNG decoder"},
      {"broken.svg", "<svg xmlns='http://www.w3.org/2000/svg'><rect", "SVG "},
      {"wide.svg", Svg(40, 30), "Requested size too large", {65536, 16384}},  // 2^32 pixels
      {"photo.jpg", valid, ""},  // not decoded, and nothing logged
  };
  for (uint64_t id = 0; id < std::size(cases); ++id) {
    const auto& c = cases[id];
    log_->Mark();
    const std::string path = temp_.Write(c.name, c.bytes);
    Result<LoadedImage> image = images_.Load(id, path, c.target);
    ASSERT_FALSE(image.Ok()) << c.name;
    EXPECT_EQ(image.Error().Kind(), ErrorKind::kRefused);
    EXPECT_EQ(log_->LastReason(path).substr(0, c.reason.size()), c.reason) << c.name;
    EXPECT_EQ(log_->NewErrors().empty(), c.reason.empty()) << c.name;
  }
  EXPECT_TRUE(images_.Load(44, Bytes(valid), "fine.png").Ok());
  // A file the confined worker was not given is refused before it is sent; the session goes on.
  CTempFolder elsewhere;
  Result<LoadedImage> hidden = images_.Load(45, elsewhere.Write("valid.png", valid));
  ASSERT_FALSE(hidden.Ok());
  EXPECT_EQ(hidden.Error().Kind(), ErrorKind::kBadInput);
  EXPECT_NE(hidden.Error().Message().find("is not readable by the confined worker"),
            std::string::npos);
  // A FIFO where a PNG file should be would hold the worker in open(2) until its deadline.
  const std::string fifo = temp_ / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Result<LoadedImage> blocking = images_.Load(46, fifo);
  ASSERT_FALSE(blocking.Ok());
  EXPECT_EQ(blocking.Error().Kind(), ErrorKind::kRefused) << blocking.Error().Message();
  EXPECT_EQ(blocking.Error().Message(),
            "Cannot open file " + fifo + ", not a regular file: a FIFO");
  EXPECT_TRUE(images_.Load(45, temp_.Write("valid.png", valid)).Ok());
}

// The SVG library refuses to draw a document whose uses multiply past its limit on referenced
// elements: the reason given must be that, not memory.
TEST_F(ImageSessionTest, SvgThatTheLibraryStopsDrawingIsNotBlamedOnMemory) {
  std::string levels = "<defs><g id='u0'/>";
  for (int level = 1; level < 10; ++level) {
    levels += "<g id='u" + std::to_string(level) + "'>";
    for (int use = 0; use < 10; ++use)
      levels += "<use xlink:href='#u" + std::to_string(level - 1) + "'/>";
    levels += "</g>";
  }
  levels += "</defs><use xlink:href='#u9'/>";
  const std::string file = temp_.Write("nested.svg", Svg(20, 10, levels));
  Result<LoadedImage> image = images_.Load(1, file);
  ASSERT_FALSE(image.Ok());
  const std::string said = image.Error().Message();
  EXPECT_EQ(said.rfind("Cannot render the image at 20 x 10, the SVG library failed while drawing "
                       "it, for a reason the codec does not pass on (",
                       0),
            0u)
      << said;
  EXPECT_TRUE(images_.Load(2, temp_.Write("plain.svg", Svg(4, 4))).Ok());
}

// A chain of 5000 uses overflows the SVG library's stack while it draws: the worker's fault
// handler ends it, and the client says what that means.
TEST_F(ImageSessionTest, AnImageThatCrashesTheWorkerIsExplainedAndTheNextLoadsInANewSession) {
  std::string chain = "<defs><rect id='u0' width='4' height='4'/>";
  for (int i = 1; i <= 5000; ++i)
    chain += "<use id='u" + std::to_string(i) + "' xlink:href='#u" + std::to_string(i - 1) + "'/>";
  chain += "</defs><use xlink:href='#u5000'/>";
  const std::string file = temp_.Write("chain.svg", Svg(8, 8, chain));
  // The worker's stack as most systems have it, also where the tests run with no limit.
  rlimit stack{};
  ASSERT_EQ(::getrlimit(RLIMIT_STACK, &stack), 0);
  const rlimit usual{std::min<rlim_t>(stack.rlim_cur, 8 << 20), stack.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_STACK, &usual), 0);
  Session crashing;
  const Status started = crashing.Start(Options());
  ASSERT_EQ(::setrlimit(RLIMIT_STACK, &stack), 0);
  ASSERT_TRUE(started.Ok()) << started.Message();
  Result<LoadedImage> crashed = ImageSession(crashing).Load(1, file);
  ASSERT_FALSE(crashed.Ok());
  EXPECT_EQ(crashed.Error().Kind(), ErrorKind::kWorkerEnded);
  EXPECT_FALSE(crashing.Running());
  const std::string said = crashed.Error().Message();
  EXPECT_EQ(said.rfind("the worker crashed while decoding " + file +
                           "; the image may be malicious or hit a decoder fault (worker exited "
                           "with code 100 before answering Load",
                       0),
            0u)
      << said;

  Session next;
  ASSERT_TRUE(next.Start(Options()).Ok()) << next.EndReason().Message();
  EXPECT_TRUE(ImageSession(next).Load(2, temp_.Write("plain.svg", Svg(4, 4))).Ok());
}

// Text needs the font configuration and the fonts: a confined worker must draw it exactly as an
// unconfined one does.
TEST_F(ImageSessionTest, TextIsDrawnAsByAnUnconfinedWorker) {
  const std::string file =
      temp_.Write("text.svg", Svg(120, 40,
                                  "<text x='4' y='30' font-family='sans-serif' font-size='28'>"
                                  "Tessel</text>"));
  SessionOptions options;
  options.confinement = ConfinementMode::kOff;
  Session unconfinedSession;
  ASSERT_TRUE(unconfinedSession.Start(options).Ok());
  ImageSession unconfined(unconfinedSession);
  Result<LoadedImage> reference = unconfined.Load(1, file, {}, PixelStorage::kCopy);
  Result<LoadedImage> drawn = images_.Load(1, file);
  ASSERT_TRUE(reference.Ok() && drawn.Ok());
  const std::string pixels = Text(drawn->Pixels());
  EXPECT_NE(pixels.find_first_not_of('\0'), std::string::npos);  // not blank
  EXPECT_TRUE(pixels == Text(reference->Pixels()));
}

TEST_F(ImageSessionTest, SvgNeverReadsTheFilesItNames) {
  // An opaque picture beside the document, named relatively and absolutely.
  const std::string secret =
      temp_.Write("secret.png", SamplePng(PNG_COLOR_TYPE_RGB, 8, 8, 4, false, false));
  const std::string file =
      temp_.Write("doc.svg", Svg(16, 8,
                                 "<rect width='8' height='8' fill='#0f0'/>"
                                 "<image x='8' width='8' height='8' href='secret.png'/>"
                                 "<image x='8' width='8' height='8' xlink:href='file://" +
                                     secret + "'/>"));
  Result<LoadedImage> image = images_.Load(1, file);
  ASSERT_TRUE(image.Ok()) << image.Error().Message();
  std::string want;  // green on the left, nothing on the right
  for (size_t p = 0; p < 16 * 8; ++p) want.append(p % 16 < 8 ? "\x00\xff\x00\xff" : "\0\0\0\0", 4);
  EXPECT_TRUE(Text(image->Pixels()) == want);
}

// Whether the worker has a library of that file name mapped.
bool WorkerMaps(pid_t pid, const std::string& library) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  for (std::string line; std::getline(maps, line);) {
    const size_t slash = line.rfind('/');
    if (slash != std::string::npos && line.compare(slash + 1, library.size(), library) == 0)
      return true;
  }
  return false;
}

// Each side library is loaded by the confined worker at the first image that needs it, not
// before: the SVG side (librsvg and cairo) at the first SVG, the PNG side (libpng and zlib) at the
// first PNG that our own path hands off, such as an interlaced one.
TEST_F(ImageSessionTest, TheSideLibrariesAreLoadedAtTheFirstImageThatNeedsThem) {
  const pid_t worker = session_.WorkerPid();
  const char* const kSvgLibraries[] = {"libTesselSvg.so", "librsvg-2.so", "libcairo.so"};
  const char* const kPngLibraries[] = {"libTesselPng.so", "libpng16.so", "libz.so"};
  ASSERT_TRUE(images_.Load(1, Bytes(SamplePng(PNG_COLOR_TYPE_RGBA, 8, 8, 5)), "a.png").Ok());
  EXPECT_TRUE(WorkerMaps(worker, "libTessel.so"));
  for (const char* library : kSvgLibraries) EXPECT_FALSE(WorkerMaps(worker, library)) << library;
  for (const char* library : kPngLibraries) EXPECT_FALSE(WorkerMaps(worker, library)) << library;

  const std::string interlaced = SamplePng(PNG_COLOR_TYPE_RGBA, 9, 7, 3, /*interlaced=*/true);
  Result<LoadedImage> png = images_.Load(2, Bytes(interlaced), "b.png");
  ASSERT_TRUE(png.Ok()) << png.Error().Message();
  EXPECT_TRUE(Text(png->Pixels()) == Independent(interlaced));
  for (const char* library : kPngLibraries) EXPECT_TRUE(WorkerMaps(worker, library)) << library;
  for (const char* library : kSvgLibraries) EXPECT_FALSE(WorkerMaps(worker, library)) << library;

  Result<LoadedImage> svg = images_.Load(3, Bytes(Svg(6, 4)), "c.svg");
  ASSERT_TRUE(svg.Ok()) << svg.Error().Message();
  EXPECT_EQ(Text(svg->Pixels().first(4)), std::string("\xff\x88\x00\xff", 4));
  for (const char* library : kSvgLibraries) EXPECT_TRUE(WorkerMaps(worker, library)) << library;
}

// A codec installed without its side libraries still decodes common PNG images; SVG images and
// PNG images that need libpng fail with a reason that names the missing file, and the worker goes
// on.
TEST_F(ImageSessionTest, WithoutItsSideLibrariesTheCodecRefusesWhatNeedsThemAndSaysWhy) {
  CTempFolder installed;
  namespace fs = std::filesystem;
  for (const char* file : {"Tessel", "libTessel.so"}) {
    std::error_code error;
    fs::copy_file(ExecutableFolder() + file, installed / file, error);
    ASSERT_FALSE(error) << error.message();
  }
  SessionOptions options = Options();
  options.workerPath = installed / "Tessel";
  Session session;
  ASSERT_TRUE(session.Start(options).Ok()) << session.EndReason().Message();
  ImageSession images(session);
  const std::string interlaced = SamplePng(PNG_COLOR_TYPE_RGB, 9, 7, 6, /*interlaced=*/true);
  for (int round = 0; round < 2; ++round) {  // a failed load is not retried into a crash
    Result<LoadedImage> svg = images.Load(1, Bytes(Svg(6, 4)), "b.svg");
    ASSERT_FALSE(svg.Ok());
    EXPECT_EQ(svg.Error().Kind(), ErrorKind::kRefused);
    EXPECT_NE(svg.Error().Message().find("SVG library, SVG images cannot be decoded: cannot load " +
                                         (installed / "libTesselSvg.so")),
              std::string::npos)
        << svg.Error().Message();
    Result<LoadedImage> png = images.Load(3, Bytes(interlaced), "d.png");
    ASSERT_FALSE(png.Ok());
    EXPECT_EQ(png.Error().Kind(), ErrorKind::kRefused);
    EXPECT_NE(png.Error().Message().find(
                  "PNG decoder, this image needs the libpng path (it is interlaced or otherwise "
                  "uncommon), which cannot be had: cannot load " +
                  (installed / "libTesselPng.so")),
              std::string::npos)
        << png.Error().Message();
  }
  const std::string png = SamplePng(PNG_COLOR_TYPE_RGB, 9, 7, 6);
  Result<LoadedImage> image = images.Load(2, Bytes(png), "c.png");
  ASSERT_TRUE(image.Ok()) << image.Error().Message();
  EXPECT_TRUE(Text(image->Pixels()) == Independent(png));
}

TEST(LoadReplyTest, RepliesThatDoNotAddUpAreRefused) {
  ImageDescriptor svg = MakeImageRequest(3, {65536, 65536});
  svg.VectorFlag = 1;  // 2^34 bytes of pixels: nothing if counted in 32 bits
  ImageDescriptor wraps = MakeImageRequest(3, {1u << 31, 1u << 31});
  wraps.VectorFlag = 1;  // 2^64 bytes of pixels: nothing if counted in 64 bits
  ImageDescriptor png = MakeImageRequest(3);
  png.Width = png.Height = 2;
  const std::string none, fifteen(15, 'x'), sixteen(16, 'y'),
      svgBytes = Raw(svg), pngBytes = Raw(png), wrapsBytes = Raw(wraps);
  auto reply = [](std::vector<BlockSpan> blocks, int32_t status = 1) {
    Reply built;
    built.result = 1, built.status = status, built.blocks = std::move(blocks);
    return built;
  };
  for (const Reply& r :
       {reply({Bytes(svgBytes), Bytes(none)}), reply({Bytes(wrapsBytes), Bytes(none)}),
        reply({Bytes(pngBytes), Bytes(fifteen)}),
        reply({Bytes(pngBytes).first(359), Bytes(sixteen)}),
        reply({Bytes(pngBytes), Bytes(sixteen), Bytes(none)}),
        reply({Bytes(pngBytes), Bytes(sixteen)}, 0)})  // status 0: never written
    EXPECT_EQ(DecodeLoadReply(r, 3, PixelStorage::kView).Error().Kind(), ErrorKind::kBadOutput);
  EXPECT_FALSE(
      DecodeLoadReply(reply({Bytes(pngBytes), Bytes(sixteen)}), 4, PixelStorage::kView).Ok());
}

// A worker serves for as long as its client lives: what one Load and Free leaves behind adds up.
// After 200 cycles every arena and cache has reached its working size; 1800 more must not grow it
// by more than 10%.
TEST_F(ImageSessionTest, WorkerMemoryStaysFlatOverThousandsOfLoadsAndFrees) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's quarantine keeps freed memory resident by design";
#endif
  const std::array<std::string, 3> pngs = {SamplePng(6, 24, 24, 1), SamplePng(2, 33, 17, 2, true),
                                           SamplePng(3, 8, 40, 3)};
  const std::string svg = Svg(20, 20, "<circle cx='10' cy='10' r='8' fill='#f80'/>");
  CProcessMemoryApi worker(("/proc/" + std::to_string(session_.WorkerPid()) + "/status").c_str());
  ASSERT_TRUE(worker.Resolved());
  const auto cycles = [&](uint64_t from, uint64_t to) {
    for (uint64_t id = from; id < to; ++id) {
      // Every fourth image an SVG at a size of its own, so the renderer's surfaces change too.
      const uint32_t side = 8 + id % 24;
      Result<LoadedImage> image = id % 4 == 3 ? images_.Load(id, Bytes(svg), "a.svg", {side, side})
                                              : images_.Load(id, Bytes(pngs[id % 3]), "a.png");
      ASSERT_TRUE(image.Ok()) << id << ": " << image.Error().Message();
      ASSERT_TRUE(images_.Free(id).Ok()) << id;
    }
  };
  const auto resident = [&] {
    ProcessMemoryCounters counters;
    EXPECT_TRUE(QueryProcessMemory(worker, counters));
    return counters.workingSetSize;
  };
  ASSERT_NO_FATAL_FAILURE(cycles(0, 200));
  const uint64_t after200 = resident();
  ASSERT_NO_FATAL_FAILURE(cycles(200, 2000));
  const uint64_t after2000 = resident();
  ASSERT_GT(after200, 0u);
  EXPECT_LE(after2000, after200 + after200 / 10) << after200 << " bytes after 200 cycles";
}

}  // namespace
}  // namespace tessel
