#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/tessel_codec.h"
#include "tests/codec/codec_support.h"

namespace tessel::codec_test {
namespace {

std::atomic<int> allocations{0};
std::atomic<uint32_t> lastAllocationSize{0};

void* CountingAllocator(uint32_t size) {
  ++allocations;
  lastAllocationSize = size;
  return std::malloc(size);
}

void* NoMemory(uint32_t) {
  ++allocations;
  return nullptr;
}

// One open document, freed when the test is done with it.
class CDocument {
 public:
  explicit CDocument(const std::string& svg) {
    ok_ = TesselLoadSVGFromData(svg.data(), static_cast<uint32_t>(svg.size()), &descriptor_) != 0;
  }
  explicit CDocument(const char* path) { ok_ = TesselLoadSVG(path, &descriptor_) != 0; }
  CDocument(const CDocument&) = delete;
  CDocument& operator=(const CDocument&) = delete;
  ~CDocument() { TesselFreeSVG(descriptor_.SvgHandle); }

  bool Ok() const { return ok_; }
  const ImageDescriptor& Descriptor() const { return descriptor_; }
  uint32_t Handle() const { return descriptor_.SvgHandle; }
  std::string Error() const {
    return std::string(descriptor_.ErrorSource) + ": " + descriptor_.ErrorMessage;
  }

  // Empty when no raster came back.
  std::vector<uint8_t> Render(uint32_t width, uint32_t height) const {
    void* raster = TesselGetSGVBuffer(Handle(), width, height, CountingAllocator);
    if (raster == nullptr) return {};
    auto* bytes = static_cast<uint8_t*>(raster);
    std::vector<uint8_t> copy(bytes, bytes + size_t{width} * height * 4);
    std::free(raster);
    return copy;
  }

 private:
  alignas(8) ImageDescriptor descriptor_{};  // so that gtest may bind references to fields
  bool ok_ = false;
};

using CBgra = std::array<int, 4>;

CBgra PixelAt(const std::vector<uint8_t>& raster, uint32_t width, uint32_t x, uint32_t y) {
  const size_t i = (size_t{y} * width + x) * 4;
  return {raster[i], raster[i + 1], raster[i + 2], raster[i + 3]};
}

void ExpectNear(const CBgra& actual, const CBgra& expected) {
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(actual[c], expected[c], 1) << "channel " << c;
}

std::string Svg(const std::string& attributes, const std::string& body) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
         "xmlns:xi=\"http://www.w3.org/2001/XInclude\" " +
         attributes + ">" + body + "</svg>";
}

bool HasColour(const std::vector<uint8_t>& raster, const CBgra& colour) {
  for (size_t i = 0; i < raster.size(); i += 4) {
    if (CBgra{raster[i], raster[i + 1], raster[i + 2], raster[i + 3]} == colour) return true;
  }
  return false;
}

const CBgra kRed = {0, 0, 255, 255};
const CBgra kBlue = {255, 0, 0, 255};
const CBgra kClear = {0, 0, 0, 0};

TEST(SvgTest, KnownColoursArriveAsPremultipliedBgra) {
  CDocument doc(
      Svg("width=\"30\" height=\"10\"",
          "<rect width=\"10\" height=\"10\" fill=\"#ff0000\" fill-opacity=\"0.5\"/>"
          "<rect x=\"10\" width=\"10\" height=\"10\" fill=\"#0000ff\"/>"
          "<rect x=\"20\" width=\"10\" height=\"10\" fill=\"#00ff00\" opacity=\"0.25\"/>"));
  ASSERT_TRUE(doc.Ok()) << doc.Error();
  EXPECT_EQ(doc.Descriptor().VectorFlag, 1u);
  const std::vector<uint8_t> raster = doc.Render(30, 10);
  ASSERT_FALSE(raster.empty());
  ExpectNear(PixelAt(raster, 30, 5, 5), {0, 0, 128, 128});
  EXPECT_EQ(PixelAt(raster, 30, 15, 5), kBlue);
  ExpectNear(PixelAt(raster, 30, 25, 5), {0, 64, 0, 64});
}

TEST(SvgTest, NaturalSizeComesFromSizeThenViewBoxThenDefault) {
  struct CCase {
    std::string attributes;
    uint32_t width, height;
  };
  const CCase cases[] = {
      {"width=\"120\" height=\"80\"", 120, 80},
      {"width=\"1in\" height=\"0.5in\"", 96, 48},
      {"width=\"10.5\" height=\"3.2\"", 11, 4},
      {"viewBox=\"0 0 300 150\"", 300, 150},
      {"width=\"50%\" height=\"50%\" viewBox=\"0 0 40 20\"", 40, 20},
      {"", 100, 100},
  };
  for (const CCase& c : cases) {
    SCOPED_TRACE(c.attributes);
    CDocument doc(Svg(c.attributes, ""));
    ASSERT_TRUE(doc.Ok()) << doc.Error();
    EXPECT_EQ(doc.Descriptor().Width, c.width);
    EXPECT_EQ(doc.Descriptor().Height, c.height);
  }
  CDocument empty(Svg("width=\"0\" height=\"10\"", ""));
  EXPECT_FALSE(empty.Ok());
  EXPECT_NE(empty.Error().find("empty or too large"), std::string::npos) << empty.Error();
}

TEST(SvgTest, RenderFillsExactlyTheTargetAsTheAspectRatioSays) {
  const std::string square = "<rect width=\"10\" height=\"10\" fill=\"red\"/>";
  CDocument meet(Svg("viewBox=\"0 0 10 10\"", square));
  ASSERT_TRUE(meet.Ok()) << meet.Error();
  allocations = 0;
  const std::vector<uint8_t> raster = meet.Render(200, 100);
  ASSERT_EQ(raster.size(), 80000u);
  EXPECT_EQ(allocations, 1);
  EXPECT_EQ(lastAllocationSize, 80000u);
  EXPECT_EQ(PixelAt(raster, 200, 49, 50), kClear);
  EXPECT_EQ(PixelAt(raster, 200, 50, 0), kRed);
  EXPECT_EQ(PixelAt(raster, 200, 149, 99), kRed);
  EXPECT_EQ(PixelAt(raster, 200, 150, 50), kClear);

  CDocument stretched(Svg("viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\"", square));
  ASSERT_TRUE(stretched.Ok());
  const std::vector<uint8_t> full = stretched.Render(200, 100);
  ASSERT_EQ(full.size(), 80000u);
  EXPECT_EQ(PixelAt(full, 200, 0, 0), kRed);
  EXPECT_EQ(PixelAt(full, 200, 199, 99), kRed);
}

TEST(SvgTest, WideTargetsBeyondOneCairoSurfaceRenderWhole) {
  CDocument doc(Svg("viewBox=\"0 0 10 10\" preserveAspectRatio=\"none\"",
                    "<rect width=\"5\" height=\"10\" fill=\"red\"/>"
                    "<rect x=\"5\" width=\"5\" height=\"10\" fill=\"blue\"/>"));
  ASSERT_TRUE(doc.Ok());
  const uint32_t width = 70000;
  const std::vector<uint8_t> raster = doc.Render(width, 2);
  ASSERT_EQ(raster.size(), size_t{width} * 2 * 4);
  EXPECT_EQ(PixelAt(raster, width, 0, 0), kRed);
  EXPECT_EQ(PixelAt(raster, width, 32766, 1), kRed);
  EXPECT_EQ(PixelAt(raster, width, 32767, 1), kRed);
  EXPECT_EQ(PixelAt(raster, width, 34999, 0), kRed);
  EXPECT_EQ(PixelAt(raster, width, 35000, 0), kBlue);
  EXPECT_EQ(PixelAt(raster, width, 65534, 1), kBlue);
  EXPECT_EQ(PixelAt(raster, width, width - 1, 1), kBlue);
}

TEST(SvgTest, RefusedSizesAskForNoMemory) {
  CDocument doc(Svg("width=\"10\" height=\"10\"", ""));
  ASSERT_TRUE(doc.Ok());
  allocations = 0;
  const std::pair<uint32_t, uint32_t> refused[] = {
      {0, 10}, {10, 0}, {65536, 16384}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {600000000u, 1}};
  for (const auto& [width, height] : refused) {
    EXPECT_EQ(TesselGetSGVBuffer(doc.Handle(), width, height, CountingAllocator), nullptr)
        << width << " x " << height;
  }
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(TesselGetSGVBuffer(doc.Handle(), 10, 10, nullptr), nullptr);
  EXPECT_EQ(TesselGetSGVBuffer(doc.Handle(), 10, 10, NoMemory), nullptr);
  EXPECT_EQ(allocations, 1);
}

TEST(SvgTest, HandlesAreDistinctNonZeroAndDieWithFree) {
  const std::string svg = Svg("width=\"4\" height=\"4\"", "<rect width=\"4\" height=\"4\"/>");
  std::vector<std::unique_ptr<CDocument>> docs;
  std::set<uint32_t> handles;
  for (int i = 0; i < 20; ++i) {
    docs.push_back(std::make_unique<CDocument>(svg));
    ASSERT_TRUE(docs.back()->Ok());
    handles.insert(docs.back()->Handle());
  }
  EXPECT_EQ(handles.size(), 20u);
  EXPECT_EQ(handles.count(0), 0u);

  const uint32_t freed = docs[3]->Handle();
  TesselFreeSVG(freed);
  TesselFreeSVG(freed);  // twice
  TesselFreeSVG(0);
  TesselFreeSVG(0xFFFFFFF0u);
  EXPECT_EQ(TesselGetSGVBuffer(freed, 4, 4, CountingAllocator), nullptr);
  EXPECT_EQ(TesselGetSGVBuffer(0, 4, 4, CountingAllocator), nullptr);
  EXPECT_EQ(docs[4]->Render(4, 4).size(), 64u);
}

TEST(SvgTest, ConcurrentRendersOfOneDocumentAgree) {
  CDocument doc(Svg("viewBox=\"0 0 100 100\"",
                    "<circle cx=\"50\" cy=\"50\" r=\"40\" fill=\"teal\" opacity=\"0.7\"/>"
                    "<path d=\"M0 0 L100 100\" stroke=\"orange\" stroke-width=\"3\"/>"));
  ASSERT_TRUE(doc.Ok());
  const std::vector<uint8_t> reference = doc.Render(300, 300);
  std::vector<std::vector<uint8_t>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&doc, &result] {
      for (int i = 0; i < 5; ++i) result = doc.Render(300, 300);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, reference);
}

TEST(SvgTest, DocumentsNeverLoadOtherFiles) {
  CTempDir dir;
  CSampleImage red = MakeSampleImage(PNG_COLOR_TYPE_RGB, 8, false, false, 4, 4, 1);
  for (size_t i = 0; i < red.samples.size(); i += 3) {
    red.samples[i] = 255;
    red.samples[i + 1] = red.samples[i + 2] = 0;
  }
  const std::vector<uint8_t> redPng = EncodePng(red);
  const std::string pngPath = dir.Write("red.png", std::string(redPng.begin(), redPng.end()));
  dir.Write("part.svg", Svg("", "<rect width=\"20\" height=\"20\" fill=\"red\"/>"));
  dir.Write("style.css", "rect { fill: red; }");
  const std::string fileUrl = "file://" + pngPath;
  const std::string partUrl = "file://" + dir.Path() + "/part.svg";

  const std::string attack =
      "<?xml version=\"1.0\"?><?xml-stylesheet type=\"text/css\" href=\"style.css\"?>" +
      Svg("width=\"20\" height=\"20\"",
          "<image href=\"red.png\" width=\"20\" height=\"20\"/>"
          "<image xlink:href=\"" +
              fileUrl +
              "\" width=\"20\" height=\"20\"/>"
              "<image href=\"file:///etc/passwd\" width=\"20\" height=\"20\"/>"
              "<use href=\"part.svg#x\"/><use xlink:href=\"" +
              partUrl +
              "#x\"/>"
              "<xi:include href=\"part.svg\"/>"
              "<xi:include href=\"" +
              partUrl +
              "\"><xi:fallback>"
              "<rect x=\"18\" y=\"18\" width=\"2\" height=\"2\" fill=\"blue\"/>"
              "</xi:fallback></xi:include>"
              "<rect width=\"1\" height=\"1\" style=\"fill: blue\"/>");
  // From a file next to its targets, and from memory.
  const std::string attackPath = dir.Write("attack.svg", attack);
  for (bool fromFile : {true, false}) {
    SCOPED_TRACE(fromFile ? "from file" : "from data");
    CDocument doc = fromFile ? CDocument(attackPath.c_str()) : CDocument(attack);
    ASSERT_TRUE(doc.Ok()) << doc.Error();
    const std::vector<uint8_t> raster = doc.Render(20, 20);
    ASSERT_EQ(raster.size(), 1600u);
    EXPECT_FALSE(HasColour(raster, kRed));
    EXPECT_EQ(PixelAt(raster, 20, 19, 19), kBlue);  // the include's fallback: it did not load
    EXPECT_EQ(PixelAt(raster, 20, 0, 0), kBlue);    // the document itself renders
  }

  // An image inline as a data: URL does render, so images as such work.
  CDocument inlined(Svg("width=\"20\" height=\"20\"",
                        "<image width=\"20\" height=\"20\" href=\"data:image/svg+xml;utf8,"
                        "&lt;svg xmlns='http://www.w3.org/2000/svg' width='4' height='4'&gt;"
                        "&lt;rect width='4' height='4' fill='red'/&gt;&lt;/svg&gt;\"/>"));
  ASSERT_TRUE(inlined.Ok()) << inlined.Error();
  EXPECT_EQ(PixelAt(inlined.Render(20, 20), 20, 10, 10), kRed);
}

TEST(SvgTest, BadInputFailsWithTextsAUserCanActOn) {
  const std::string bad[] = {
      "",
      "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect",
      "\x89PNG\r\n\x1a\n garbage",
      "<svg xmlns=\"http://www.w3.org/2000/svg\"></g></svg>",
  };
  for (const std::string& svg : bad) {
    SCOPED_TRACE(svg);
    CDocument doc(svg);
    EXPECT_FALSE(doc.Ok());
    EXPECT_EQ(doc.Handle(), 0u);
    EXPECT_GT(std::strlen(doc.Descriptor().ErrorSource), 0u);
    EXPECT_GT(std::strlen(doc.Descriptor().ErrorMessage), 0u);
  }

  CTempDir dir;
  const std::string missing = dir.Path() + "/missing.svg";
  CDocument notThere(missing.c_str());
  EXPECT_FALSE(notThere.Ok());
  EXPECT_NE(notThere.Error().find("No such file or directory"), std::string::npos);
  EXPECT_NE(notThere.Error().find(missing), std::string::npos);

  CDocument folder(dir.Path().c_str());
  EXPECT_FALSE(folder.Ok());
  EXPECT_NE(folder.Error().find("not a regular file"), std::string::npos) << folder.Error();
  // A FIFO without a writer must not block the load.
  const std::string fifo = dir.Path() + "/fifo.svg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CDocument pipe(fifo.c_str());
  EXPECT_NE(pipe.Error().find("not a regular file"), std::string::npos) << pipe.Error();

  const std::string emptyFile = dir.Write("empty.svg", "");
  CDocument empty(emptyFile.c_str());
  EXPECT_FALSE(empty.Ok());
  EXPECT_NE(empty.Error().find("empty"), std::string::npos) << empty.Error();
}

}  // namespace
}  // namespace tessel::codec_test
