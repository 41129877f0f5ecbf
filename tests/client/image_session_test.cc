// The image commands end to end: the client library, a real Tessel worker and the real codec
// library, with PNG files written by libpng in the test.
#include "client/image_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "client/worker_log.h"
#include "tests/codec/codec_support.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

using codec_test::DecodeSimplified;
using codec_test::MakeSampleImage;

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}
std::string Text(std::span<const std::byte> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}
std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}
template <typename T>
std::string Raw(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string Svg(uint32_t width, uint32_t height, const std::string& body = {}) {
  return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
         "width='" + std::to_string(width) + "' height='" + std::to_string(height) + "'>" +
         (body.empty() ? "<rect width='100%' height='100%' fill='#08f'/>" : body) + "</svg>";
}

std::string SamplePng(int colorType, uint32_t width, uint32_t height, uint32_t seed,
                      bool interlaced = false, bool transparency = true) {
  return Text(codec_test::EncodePng(
      MakeSampleImage(colorType, 8, interlaced, transparency, width, height, seed)));
}

std::string RgbaPng(uint32_t width, uint32_t height, const std::string& rgba) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr);
  std::string png(size, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.data(), 0, nullptr)) return {};
  png.resize(size);
  return png;
}

// libpng's own reading of the file, premultiplied: what the worker must hand back.
std::string Independent(const std::string& png) {
  std::vector<uint8_t> bgra;
  if (!DecodeSimplified(std::vector<uint8_t>(png.begin(), png.end()), &bgra)) return "undecodable";
  return Text(bgra);
}

// A worker whose log goes to a folder of the test's own, read back as the tool reads it.
class ImageSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SessionOptions options;
    options.environment.emplace_back("{CBB742F7-4EE8-4643-97CD-AB66DF0BAFEA}", logs_ / "");
    ASSERT_TRUE(session_.Start(options).Ok()) << session_.EndReason().Message();
    log_ = std::make_unique<WorkerLogReader>(logs_ / "", session_.Id());
  }

  CTempFolder temp_;
  CTempFolder logs_;
  Session session_;
  ImageSession images_{session_};
  std::unique_ptr<WorkerLogReader> log_;
};

TEST_F(ImageSessionTest, SvgIsLoadedOnceAndRenderedAtEachAskedSize) {
  const std::string file = temp_.Write("Picture.SVG", Svg(40, 30));
  Result<LoadedImage> natural = images_.Load(7, file);
  ASSERT_TRUE(natural.Ok()) << natural.Error().Message();
  EXPECT_TRUE(natural->IsVector());
  EXPECT_EQ(natural->Descriptor().Id, 7u);
  EXPECT_EQ(natural->PixelWidth() * natural->PixelHeight(), 40u * 30);
  ASSERT_EQ(natural->Pixels().size(), 40u * 30 * 4);
  EXPECT_EQ(Text(natural->Pixels().first(4)), std::string("\xff\x88\x00\xff", 4));

  // A worker that read the file again would find another document.
  temp_.Write("Picture.SVG", Svg(10, 10));
  const TargetSize asked[] = {{200, 100}, {0, 50}};
  const uint32_t rendered[][2] = {{200, 100}, {40, 50}};
  for (size_t i = 0; i < 2; ++i) {
    Result<LoadedImage> image = images_.Load(7, file, asked[i]);
    ASSERT_TRUE(image.Ok()) << image.Error().Message();
    EXPECT_EQ(image->Descriptor().Width, 40u);
    EXPECT_EQ(image->PixelWidth(), rendered[i][0]);
    EXPECT_EQ(image->PixelHeight(), rendered[i][1]);
    EXPECT_EQ(image->Pixels().size(), rendered[i][0] * rendered[i][1] * 4);
  }

  ASSERT_TRUE(images_.Free(7).Ok());
  EXPECT_TRUE(images_.Free(7).Ok());  // not kept any more: no failure
  Result<LoadedImage> reloaded = images_.Load(7, file);
  ASSERT_TRUE(reloaded.Ok());
  EXPECT_EQ(reloaded->Descriptor().Width, 10u);

  // Relative paths are the client's: the worker's folder differs once we move.
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir((temp_ / ".").c_str()), 0);
  Result<LoadedImage> relative = images_.Load(8, "Picture.SVG");
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_TRUE(relative.Ok()) << relative.Error().Message();
}

TEST_F(ImageSessionTest, PngIsDecodedOnceUntilFreedAndCopiesOutliveLaterCommands) {
  const std::string first = SamplePng(PNG_COLOR_TYPE_RGBA, 3, 2, 1);
  const std::string second = SamplePng(PNG_COLOR_TYPE_RGBA, 5, 4, 2);
  const std::string file = temp_.Write("p.png", first);
  Result<LoadedImage> kept = images_.Load(5, file, {}, PixelStorage::kCopy);
  ASSERT_TRUE(kept.Ok()) << kept.Error().Message();
  EXPECT_TRUE(kept->Copied());
  EXPECT_FALSE(kept->IsVector());
  EXPECT_EQ(Text(kept->Pixels()), Independent(first));

  temp_.Write("p.png", second);
  Result<LoadedImage> again = images_.Load(5, file, {300, 300});
  ASSERT_TRUE(again.Ok());
  EXPECT_EQ(again->PixelWidth(), 3u);
  EXPECT_EQ(Text(again->Pixels()), Independent(first));

  ASSERT_TRUE(images_.Free(5).Ok());
  Result<LoadedImage> decoded = images_.Load(5, file);
  ASSERT_TRUE(decoded.Ok());
  EXPECT_EQ(decoded->PixelWidth(), 5u);
  EXPECT_EQ(Text(decoded->Pixels()), Independent(second));
  EXPECT_EQ(Text(kept->Pixels()), Independent(first));
}

TEST_F(ImageSessionTest, PixelsEqualAnIndependentDecodeForEveryColourType) {
  struct Case {
    int colorType;
    bool interlaced;
    uint32_t width, height;
  };
  // The last is larger than the inline area: its reply goes through BufferRequest.
  const Case cases[] = {{PNG_COLOR_TYPE_GRAY, false, 17, 5},     {PNG_COLOR_TYPE_GRAY_ALPHA, true, 9, 9},
                        {PNG_COLOR_TYPE_PALETTE, false, 31, 7},  {PNG_COLOR_TYPE_RGB, true, 33, 21},
                        {PNG_COLOR_TYPE_RGBA, false, 12, 3},     {PNG_COLOR_TYPE_RGBA, false, 1000, 700}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string png = SamplePng(c.colorType, c.width, c.height, 10 + i, c.interlaced);
    // Odd cases from a file, even ones as bytes.
    Result<LoadedImage> image =
        i % 2 == 1 ? images_.Load(i + 1, temp_.Write("c" + std::to_string(i) + ".png", png))
                   : images_.Load(i + 1, Bytes(png), "bytes.png");
    ASSERT_TRUE(image.Ok()) << i << ": " << image.Error().Message();
    EXPECT_EQ(image->PixelWidth(), c.width) << i;
    EXPECT_EQ(image->PixelHeight(), c.height) << i;
    EXPECT_TRUE(Text(image->Pixels()) == Independent(png)) << "colour type " << c.colorType;
  }
}

TEST_F(ImageSessionTest, RefusedImagesAreExplainedInTheLogAndTheWorkerGoesOn) {
  const pid_t worker = session_.WorkerPid();
  const std::string valid = SamplePng(PNG_COLOR_TYPE_RGB, 64, 64, 3);
  std::string corrupt = valid;
  corrupt[corrupt.find("IDAT") + 20] ^= 0x5a;  // the chunk's CRC no longer holds
  const std::vector<uint8_t> start = codec_test::MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA);
  struct Case {
    std::string name, bytes, reason;
  };
  const Case cases[] = {
      {"huge.png", Text(start), "PNG decoder, header, the image is 100000 x 100000 pixels"},
      {"cut.png", valid.substr(0, valid.size() / 2), "PNG decoder"},
      {"crc.png", corrupt, "PNG decoder"},
      {"broken.svg", "<svg xmlns='http://www.w3.org/2000/svg'><rect", "SVG "},
  };
  for (const Case& c : cases) {
    log_->Mark();
    Result<LoadedImage> image = images_.Load(40, Bytes(c.bytes), c.name);
    ASSERT_FALSE(image.Ok()) << c.name;
    EXPECT_EQ(image.Error().Kind(), ErrorKind::kRefused);
    EXPECT_EQ(log_->LastReason(c.name).rfind(c.reason, 0), 0u)
        << c.name << ": " << log_->LastReason(c.name);
  }
  // The same from a file; and an extension the worker does not decode, which it leaves unlogged.
  log_->Mark();
  const std::string cut = temp_.Write("cut.png", cases[1].bytes);
  EXPECT_FALSE(images_.Load(41, cut).Ok());
  EXPECT_EQ(log_->LastReason(cut).rfind("PNG decoder", 0), 0u) << log_->LastReason(cut);
  log_->Mark();
  EXPECT_FALSE(images_.Load(42, Bytes(valid), "photo.jpg").Ok());
  EXPECT_TRUE(log_->NewErrors().empty());

  // A raster whose size overflows 32 bits is refused; the image stays for a sensible size.
  const std::string svg = Svg(40, 30);
  log_->Mark();
  EXPECT_FALSE(images_.Load(43, Bytes(svg), "a.svg", {65536, 16384}).Ok());
  EXPECT_NE(log_->LastReason("a.svg").find("Requested size too large"), std::string::npos);
  EXPECT_TRUE(images_.Load(43, Bytes(svg), "a.svg", {2, 2}).Ok());

  EXPECT_TRUE(session_.Ping().Ok());
  EXPECT_EQ(session_.WorkerPid(), worker);
  EXPECT_TRUE(images_.Load(44, Bytes(valid), "fine.png").Ok());
}

TEST_F(ImageSessionTest, RawRequestsThatDoNotHoldWhatTheyClaimFail) {
  Result<Reply> ping = session_.Send(kCommandPing);
  ASSERT_TRUE(ping.Ok());
  EXPECT_EQ(ping->workingSetSize, 0u);  // no image command yet

  const std::string kind = Raw(uint32_t{0});
  const std::string request = Raw(MakeImageRequest(9));
  const std::vector<std::byte> name = WideNameBytes("a.svg");
  const std::string svg = Svg(4, 4);
  const std::string length = Raw(static_cast<uint32_t>(svg.size()));
  const std::string tooLong = Raw(static_cast<uint32_t>(svg.size() + 1));
  using Blocks = std::array<BlockSpan, 5>;
  const Blocks good = {Bytes(kind), Bytes(request), name, Bytes(svg), Bytes(length)};
  const Blocks hostile[] = {
      {Bytes(kind), Bytes(request), std::span(name).first(name.size() - 2), Bytes(svg),
       Bytes(length)},                                                            // name without NUL
      {Bytes(kind), Bytes(request), name, Bytes(svg), Bytes(tooLong)},            // length past block 4
      {Bytes(kind).first(3), Bytes(request), name, Bytes(svg), Bytes(length)},   // short block 1
  };
  log_->Mark();
  for (const Blocks& blocks : hostile) {
    Result<Reply> reply = session_.Send(kCommandLoad, 0, blocks);
    ASSERT_TRUE(reply.Ok()) << reply.Error().Message();
    EXPECT_FALSE(reply->Succeeded());
    // Written after image commands whatever their outcome.
    EXPECT_NE(reply->workingSetSize, 0u);
  }
  EXPECT_EQ(log_->NewErrors(), std::vector<std::string>(3, "Input block error"));

  Result<Reply> reply = session_.Send(kCommandLoad, 0, good);
  ASSERT_TRUE(reply.Ok());
  EXPECT_TRUE(reply->Succeeded());
  EXPECT_TRUE(DecodeLoadReply(reply.Value(), 9, PixelStorage::kView).Ok());
  EXPECT_TRUE(images_.GetBitmap().Ok());
}

TEST_F(ImageSessionTest, SvgNeverReadsTheFilesItNames) {
  // An opaque red picture beside the document, named relatively and absolutely.
  std::string red;
  for (int i = 0; i < 8 * 8; ++i) red += std::string("\xff\x00\x00\xff", 4);
  const std::string secret = temp_.Write("secret.png", RgbaPng(8, 8, red));
  const std::string svg = Svg(16, 8,
                              "<rect width='8' height='8' fill='#0f0'/>"
                              "<image x='8' width='8' height='8' href='secret.png'/>"
                              "<image x='8' width='8' height='8' xlink:href='file://" +
                                  secret + "'/>");
  const std::string file = temp_.Write("doc.svg", svg);
  Result<LoadedImage> fromFile = images_.Load(1, file, {}, PixelStorage::kCopy);
  Result<LoadedImage> fromBytes = images_.Load(2, Bytes(svg), "doc.svg");
  for (const Result<LoadedImage>* image : {&fromFile, &fromBytes}) {
    ASSERT_TRUE(image->Ok()) << image->Error().Message();
    const std::string pixels = Text((*image)->Pixels());
    ASSERT_EQ(pixels.size(), 16u * 8 * 4);
    for (size_t p = 0; p < 16 * 8; ++p) {
      const std::string want = p % 16 < 8 ? std::string("\x00\xff\x00\xff", 4) : std::string(4, '\0');
      ASSERT_EQ(pixels.substr(p * 4, 4), want) << "pixel " << p;
    }
  }
}

TEST(LoadReplyTest, RepliesThatDoNotAddUpAreRefused) {
  ImageDescriptor svg = MakeImageRequest(3, {65536, 65536});
  svg.VectorFlag = 1;  // 2^34 bytes of pixels: nothing if counted in 32 bits
  ImageDescriptor png = MakeImageRequest(3);
  png.Width = png.Height = 2;
  const std::string none, fifteen(15, 'x'), sixteen(16, 'y');
  const std::string svgBytes = Raw(svg), pngBytes = Raw(png);
  auto reply = [](std::vector<BlockSpan> blocks, int32_t status = 1) {
    Reply r;
    r.result = 1;
    r.status = status;
    r.blocks = std::move(blocks);
    return r;
  };
  const Reply refused[] = {
      reply({Bytes(svgBytes), Bytes(none)}),
      reply({Bytes(pngBytes), Bytes(fifteen)}),
      reply({Bytes(pngBytes).first(359), Bytes(sixteen)}),
      reply({Bytes(pngBytes), Bytes(sixteen), Bytes(none)}),
      reply({Bytes(pngBytes), Bytes(sixteen)}, 0),  // the reply was never written
  };
  for (const Reply& r : refused)
    EXPECT_EQ(DecodeLoadReply(r, 3, PixelStorage::kView).Error().Kind(), ErrorKind::kBadOutput);
  EXPECT_FALSE(DecodeLoadReply(reply({Bytes(pngBytes), Bytes(sixteen)}), 4, PixelStorage::kView).Ok());

  std::string pixels = sixteen;
  Result<LoadedImage> copy =
      DecodeLoadReply(reply({Bytes(pngBytes), Bytes(pixels)}), 3, PixelStorage::kCopy);
  ASSERT_TRUE(copy.Ok());
  pixels[0] = 'z';
  EXPECT_EQ(Text(copy->Pixels()), sixteen);
}

}  // namespace
}  // namespace tessel
