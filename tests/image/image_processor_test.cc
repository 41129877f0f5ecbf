#include "image/image_processor.h"

#include <gtest/gtest.h>

#include "image_support.h"
#include "platform/process.h"

namespace tessel::test {
namespace {

constexpr uint32_t kUnknownCommand = 8;

std::string Pixels(const CRecordingWriter& writer, size_t index) {
  return writer.writes.at(index).at(1);
}
ImageDescriptor Reply(const CRecordingWriter& writer, size_t index) {
  return ParseDescriptor(writer.writes.at(index).at(0));
}

TEST(ImageProcessorTest, SvgIsRenderedAtEachRequestedSizeFromOneLoad) {
  CCodecCounter codec;
  CImageHost host;
  const std::string file = host.Temp().Write("Picture.SVG", SvgDocument(40, 30));
  {
    CImageProcessor processor(host.Options(codec.Path()));
    const std::u16string path(file.begin(), file.end());
    ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromFile(7, path)));
    ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromFile(7, path, 200, 100)));
    ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromFile(7, path, 0, 50)));
    EXPECT_EQ(codec.Calls("TesselLoadSVG"), 1);
    EXPECT_EQ(host.Control().Status(), 1);

    const uint32_t sizes[][2] = {{40, 30}, {200, 100}, {40, 50}};
    for (size_t i = 0; i < 3; ++i) {
      const ImageDescriptor reply = Reply(host.writer, i);
      EXPECT_EQ(reply.Id, 7u);
      EXPECT_EQ(reply.VectorFlag, 1u);
      EXPECT_EQ(reply.Width, 40u);
      EXPECT_EQ(reply.TargetWidth, sizes[i][0]);
      EXPECT_EQ(reply.TargetHeight, sizes[i][1]);
      EXPECT_EQ(Pixels(host.writer, i).size(), sizes[i][0] * sizes[i][1] * 4);
    }
    EXPECT_TRUE(host.capture.Has(
        "Image width 40, height 30, buffer size 80000 (requested width 200, height 100)"));

    // Free, then the same Id is decoded again.
    ASSERT_TRUE(host.Run(processor, kCommandFree, {DescriptorBytes(7)}));
    EXPECT_EQ(processor.Images().Size(), 0u);
    ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromFile(7, path)));
    EXPECT_EQ(codec.Calls("TesselLoadSVG"), 2);
    EXPECT_EQ(host.capture.Count("Temp path "), 1u);
    EXPECT_EQ(host.capture.Count("Initialize SVG Library"), 1u);
    EXPECT_EQ(codec.Calls("TesselInitSVG"), 1);
  }
  // The image still kept at teardown is destroyed while the codec is bound.
  EXPECT_EQ(codec.Calls("TesselFreeSVG"), 2);
}

TEST(ImageProcessorTest, PngIsDecodedOnceAndItsPixelsReturnedAgain) {
  CCodecCounter codec;
  CImageHost host;
  CImageProcessor processor(host.Options(codec.Path()));
  // Opaque red and blue: premultiplied BGRA keeps them as they are.
  const std::string png = EncodePng(2, 1, std::string("\xff\x00\x00\xff\x00\x00\xff\xff", 8));
  const uint64_t id = 0x100000005ull;
  host.Control().SetWorkingSetSize(0);
  ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(id, u"a.png", png)));
  ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(id, u"a.png", png, 300, 300)));
  EXPECT_EQ(codec.Calls("TesselLoadPNG"), 1);
  EXPECT_EQ(Pixels(host.writer, 0), std::string("\x00\x00\xff\xff\xff\x00\x00\xff", 8));
  EXPECT_EQ(Pixels(host.writer, 1), Pixels(host.writer, 0));
  EXPECT_EQ(Reply(host.writer, 1).Id, id);
  EXPECT_EQ(Reply(host.writer, 1).Width, 2u);
  EXPECT_NE(host.Control().WorkingSetSize(), 0u);

  // Ids that differ only in their upper half are separate images.
  ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(5, u"b.PNG", png)));
  EXPECT_EQ(processor.Images().Size(), 2u);
  EXPECT_EQ(codec.Calls("TesselLoadPNG"), 2);
}

TEST(ImageProcessorTest, WorkingSetIsWrittenOnlyAfterImageCommandsThatCanRead) {
  CImageHost host;
  CImageProcessor processor(host.Options());
  host.Control().SetWorkingSetSize(0);
  EXPECT_FALSE(host.Run(processor, kUnknownCommand, kNoBlocks));
  EXPECT_EQ(host.Control().WorkingSetSize(), 0u);
  EXPECT_TRUE(host.Run(processor, kCommandGetBitmap, kNoBlocks));
  EXPECT_NE(host.Control().WorkingSetSize(), 0u);
  EXPECT_FALSE(host.capture.Has("GetBitmap operation started"));

  ImageProcessorOptions blind = host.Options();
  blind.memoryStatusPath = "/nonexistent/status";
  blind.imageDebug = true;
  CImageProcessor unresolved(blind);
  host.Control().SetWorkingSetSize(0);
  EXPECT_TRUE(host.Run(unresolved, kCommandGetBitmap, kNoBlocks));
  EXPECT_EQ(host.Control().WorkingSetSize(), 0u);
  EXPECT_TRUE(host.capture.Has("GetBitmap operation started"));
}

TEST(ImageProcessorTest, FailedLoadsLogWhyAndStoreNothing) {
  CImageHost host;
  CImageProcessor processor(host.Options());  // libTessel.so next to the test program

  EXPECT_FALSE(host.Run(processor, kCommandLoad, LoadFromData(1, u"photo.jpg", "abc")));
  EXPECT_TRUE(host.capture.Has("Library has been loaded " + ExecutableFolder() + "libTessel.so"));
  std::string log = host.capture.Text();
  EXPECT_EQ(log.find("\r\n\r\n", log.rfind("Load operation started")), log.size() - 4);
  // A dot in a folder name is no extension.
  EXPECT_FALSE(host.Run(processor, kCommandLoad, LoadFromData(1, u"dir.svg/file", "abc")));
  log = host.capture.Text();
  EXPECT_EQ(log.find("\r\n\r\n", log.rfind("Load operation started")), log.size() - 4);

  EXPECT_FALSE(host.Run(processor, kCommandLoad, LoadFromData(2, u"x.png", "not a png")));
  log = host.capture.Text();
  const size_t line = log.find("Loading error. ");
  ASSERT_NE(line, std::string::npos);
  EXPECT_NE(log.compare(line, 17, "Loading error. , "), 0) << "the codec's texts are missing";

  const std::string missing = host.TempDir() + "/missing.png";
  EXPECT_FALSE(host.Run(processor, kCommandLoad,
                        LoadFromFile(3, std::u16string(missing.begin(), missing.end()))));
  EXPECT_TRUE(host.capture.Has("Cannot open file " + missing + ", 2, No such file or directory"));

  EXPECT_FALSE(host.Run(processor, kCommandLoad, LoadFromData(4, u"y.svg", "<svg")));
  EXPECT_TRUE(host.capture.Has(", y.svg\r\n"));
  EXPECT_EQ(processor.Images().Size(), 0u);
  EXPECT_TRUE(host.writer.writes.empty());
}

TEST(ImageProcessorTest, CodecWithoutAnExportIsBoundAgainAtEveryCommand) {
  CImageHost host;
  CImageProcessor processor(host.Options(TestLibrary("libTesselNoSvgData.so")));
  EXPECT_FALSE(host.Run(processor, kCommandGetBitmap, kNoBlocks));
  EXPECT_FALSE(host.Run(processor, kCommandGetBitmap, kNoBlocks));
  EXPECT_FALSE(processor.Initialized());
  EXPECT_EQ(host.capture.Count("Cannot find TesselLoadSVGFromData"), 2u);
  EXPECT_EQ(host.capture.Count("Cannot find "), 2u);
  EXPECT_EQ(host.capture.Count("Cannot load Tessel.dll, " + UserName() + "\r\n"), 2u);
  EXPECT_EQ(host.capture.Count("Cannot initialize image processor"), 2u);
  EXPECT_EQ(host.capture.Count("Temp path "), 2u);
  EXPECT_FALSE(host.capture.Has("Initialize SVG Library"));

  const std::string absent = host.TempDir() + "/libAbsent.so";
  CImageProcessor unloadable(host.Options(absent));
  EXPECT_FALSE(host.Run(unloadable, kCommandGetBitmap, kNoBlocks));
  EXPECT_TRUE(host.capture.Has("Cannot load library " + absent + ", "));
}

TEST(ImageProcessorTest, RequestsThatDoNotHoldWhatTheyClaimAreRefused) {
  CImageHost host;
  CImageProcessor processor(host.Options());
  const std::string svg = SvgDocument(10, 10);
  const std::string name = WideName(u"a.svg");
  const std::string request = DescriptorBytes(9);
  const std::vector<std::vector<std::string>> hostile = {
      {Word(0), request},                                         // too few blocks
      {"\1\0", request, name, svg, Word(svg.size())},             // short source kind
      {Word(0), request.substr(1), name, svg, Word(svg.size())},  // short descriptor
      {Word(0), request, name.substr(0, name.size() - 2), svg, Word(svg.size())},  // no NUL
      {Word(0), request, name + "x", svg, Word(svg.size())},                       // odd name
      {Word(0), request, name, svg, "\1\0"},                                       // short length
      {Word(0), request, name, svg, Word(svg.size() + 1)},  // length past its block
  };
  for (const auto& blocks : hostile) EXPECT_FALSE(host.Run(processor, kCommandLoad, blocks));
  EXPECT_EQ(host.capture.Count("Input block error"), hostile.size());
  EXPECT_FALSE(host.Run(processor, kCommandLoad, nullptr));
  EXPECT_TRUE(host.capture.Has("Buffer access error."));
  EXPECT_TRUE(host.capture.Has("Input buffer error"));
  EXPECT_FALSE(host.Run(processor, kCommandFree, {request.substr(1)}));
  EXPECT_FALSE(host.Run(processor, kCommandFree, nullptr));
  EXPECT_EQ(processor.Images().Size(), 0u);

  // A size whose raster would not fit 32 bits is refused; the image stays.
  EXPECT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(9, u"a.svg", svg)));
  EXPECT_FALSE(host.Run(processor, kCommandLoad, LoadFromData(9, u"a.svg", svg, 65536, 16384)));
  EXPECT_TRUE(host.capture.Has("Requested size too large, width 65536, height 16384"));
  EXPECT_EQ(processor.Images().Size(), 1u);
  EXPECT_EQ(host.writer.writes.size(), 1u);
}

TEST(ImageProcessorTest, ReplyOutlivesAFreeSentWhileItIsWritten) {
  CImageHost host;
  CImageProcessor processor(host.Options());
  std::string rgba;
  for (int i = 0; i < 64 * 64; ++i) rgba += std::string("\x10\x20\x30\xff", 4);
  const std::string png = EncodePng(64, 64, rgba);
  ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(3, u"p.png", png)));
  // As a client may while it answers a BufferRequest.
  host.writer.duringWrite = [&] {
    host.writer.duringWrite = nullptr;
    EXPECT_TRUE(host.Run(processor, kCommandFree, {DescriptorBytes(3)}));
  };
  ASSERT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(3, u"p.png", png)));
  EXPECT_EQ(processor.Images().Size(), 0u);
  EXPECT_EQ(Pixels(host.writer, 1), Pixels(host.writer, 0));

  // A writer that fails leaves Status alone and the Load still succeeds.
  host.Control().SetStatus(0);
  host.writer.fail = true;
  EXPECT_TRUE(host.Run(processor, kCommandLoad, LoadFromData(3, u"p.png", png)));
  EXPECT_EQ(host.Control().Status(), 0);
}

}  // namespace
}  // namespace tessel::test
