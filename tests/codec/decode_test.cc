#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstring>

#include "codec/png_decoder.h"
#include "codec/tessel_codec.h"
#include "platform/process.h"
#include "tests/codec/codec_support.h"
#include "tests/support/temp_folder.h"

namespace tessel::codec_test {
namespace {

struct CDecoded {
  bool ok = false;
  alignas(8) ImageDescriptor descriptor{};  // so that gtest may bind references to fields
  std::vector<uint8_t> pixels;
  void* raw = reinterpret_cast<void*>(1);  // must be overwritten either way
  uint32_t pixelsSize = 12345;
};

// What the library's entry point does (the fast path, handing the rest to libpng), or libpng's
// path alone.
enum class CPngPath { kLibrary, kLibpngOnly };

CDecoded Decode(const void* data, size_t length, CPngPath path = CPngPath::kLibrary) {
  CDecoded r;
  if (path == CPngPath::kLibrary) {
    r.ok = TesselLoadPNG(data, uint32_t(length), &r.descriptor, &r.raw, &r.pixelsSize) != 0;
  } else {
    r.ok = codec::DecodePngWithLibpng(static_cast<const uint8_t*>(data), length, &r.descriptor,
                                      &r.raw, &r.pixelsSize);
  }
  if (r.raw != nullptr) r.pixels.assign((uint8_t*)r.raw, (uint8_t*)r.raw + r.pixelsSize);
  std::free(r.raw);
  return r;
}
CDecoded Decode(const std::vector<uint8_t>& png, CPngPath path = CPngPath::kLibrary) {
  return Decode(png.data(), png.size(), path);
}

// The PNG tests hold for both paths.
class PngTest : public testing::TestWithParam<CPngPath> {
 protected:
  CDecoded Load(const void* data, size_t length) { return Decode(data, length, GetParam()); }
  CDecoded Load(const std::vector<uint8_t>& png) { return Decode(png, GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Paths, PngTest, testing::Values(CPngPath::kLibrary, CPngPath::kLibpngOnly),
                         [](const auto& info) {
                           return info.param == CPngPath::kLibrary ? "Library" : "LibpngOnly";
                         });

// A failure leaves no pixels and two texts, each ended inside its field. Returns the message.
std::string ExpectCleanFailure(const CDecoded& r) {
  const ImageDescriptor& d = r.descriptor;
  EXPECT_TRUE(!r.ok && r.raw == nullptr && r.pixelsSize == 0 && d.ErrorSource[0] &&
              d.ErrorMessage[0]);
  EXPECT_TRUE(memchr(d.ErrorSource, 0, sizeof d.ErrorSource) &&
              memchr(d.ErrorMessage, 0, sizeof d.ErrorMessage));
  return std::string(d.ErrorMessage, strnlen(d.ErrorMessage, sizeof d.ErrorMessage));
}

TEST_P(PngTest, EveryFormatDecodesAsAnIndependentReaderDoes) {
  const std::pair<int, std::vector<int>> formats[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  // Odd sizes leave some Adam7 passes short or empty.
  const std::pair<uint32_t, uint32_t> sizes[] = {{29, 13}, {1, 1}, {3, 9}, {9, 2}};
  for (const auto& [type, depths] : formats) {  // gray, RGB, palette, gray + alpha, RGBA
    for (int depth : depths) {
      for (int variant = 0; variant < 16; ++variant) {
        const bool trns = variant & 1, adam7 = variant & 2;
        const auto [width, height] = sizes[variant / 4];
        SCOPED_TRACE(testing::Message() << type << '/' << depth << '/' << variant);
        const int colourType = type;
        const uint32_t w = width, h = height;
        const auto png = [&](int bits) {
          return EncodePng(MakeSampleImage(colourType, bits, adam7, trns, w, h, w));
        };
        const CDecoded decoded = Load(png(depth));
        const ImageDescriptor& d = decoded.descriptor;
        ASSERT_TRUE(decoded.ok && d.Width == width && d.Height == height && !d.VectorFlag)
            << d.ErrorMessage;
        // A 16-bit image is compared with the decode of its 8-bit twin.
        std::vector<uint8_t> expected;
        ASSERT_TRUE(DecodeSimplified(png(std::min(depth, 8)), &expected));
        EXPECT_EQ(decoded.pixels, expected);
      }
    }
  }
}

TEST_P(PngTest, SixteenBitSamplesRoundToTheNearestEightBitValue) {
  CSampleImage image{256, 256, PNG_COLOR_TYPE_RGBA, 16};
  for (uint32_t v = 0; v < 65536 * 4; ++v)
    image.rows.insert(image.rows.end(), {uint8_t(v >> 10), uint8_t(v >> 2)});
  const CDecoded decoded = Load(EncodePng(image));
  ASSERT_EQ(decoded.pixels.size(), 65536u * 4);
  for (uint32_t v = 0; v < 65536; ++v) {  // every channel of pixel v holds v
    const uint8_t a = uint8_t((v * 255 + 32767) / 65535);
    ASSERT_EQ(decoded.pixels[v * 4 + 3], a) << v;
    ASSERT_EQ(decoded.pixels[v * 4 + 1], Premultiply(a, a)) << v;
  }
}

TEST_P(PngTest, HostileOrDamagedDataFailsWithTextsThatNameTheProblem) {
  std::string message = ExpectCleanFailure(Load(MakePngStart(100000, 100000, 8, 6)));
  EXPECT_NE(message.find("100000 x 100000"), std::string::npos) << message;
  // Just over 32 bits of pixel bytes; the header alone decides, even with a damaged CRC.
  std::vector<uint8_t> png = MakePngStart(32768, 32768, 1, PNG_COLOR_TYPE_GRAY);
  png[29] ^= 0xff;
  EXPECT_NE(ExpectCleanFailure(Load(png)).find("4294967295"), std::string::npos);
  ExpectCleanFailure(Load(nullptr, 100));

  png = EncodePng(MakeSampleImage(PNG_COLOR_TYPE_RGBA, 8, true, false, 24, 24, 5), 300);
  // Several IDAT chunks; all image data sits before the 12-byte IEND chunk.
  for (size_t length = 0; length < png.size() - 12; ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    ExpectCleanFailure(Load(png.data(), length));
  }
  png[17] ^= 0x01;  // a width byte
  EXPECT_EQ(ExpectCleanFailure(Load(png)), "IHDR: CRC error");
  std::fill(png.begin(), png.end(), 0xA5);
  EXPECT_NE(ExpectCleanFailure(Load(png)).find("not a PNG image"), std::string::npos);
}

std::vector<uint32_t> allocations;  // the sizes asked for
void* CountingAllocator(uint32_t size) {
  allocations.push_back(size);
  return size == 12345 * 4 ? nullptr : std::malloc(size);  // that size finds no memory
}

// One open document, freed when the test is done with it.
struct CDocument {
  alignas(8) ImageDescriptor d{};  // so that gtest may bind references to fields
  const bool ok;
  explicit CDocument(const std::string& svg, bool isPath = false)
      : ok((isPath ? TesselLoadSVG(svg.c_str(), &d)
                   : TesselLoadSVGFromData(svg.data(), uint32_t(svg.size()), &d)) != 0) {}
  ~CDocument() { TesselFreeSVG(d.SvgHandle); }
  std::string Error() const { return std::string(d.ErrorSource) + ": " + d.ErrorMessage; }
  std::vector<uint8_t> Render(uint32_t width, uint32_t height) const {
    auto* raster = (uint8_t*)TesselGetSGVBuffer(d.SvgHandle, width, height, CountingAllocator);
    std::vector<uint8_t> copy(raster, raster ? raster + size_t{width} * height * 4 : raster);
    std::free(raster);
    return copy;
  }
};

using CBgra = std::array<int, 4>;
const CBgra kBlue = {255, 0, 0, 255}, kClear = {0, 0, 0, 0};

CBgra At(const std::vector<uint8_t>& raster, uint32_t width, uint32_t x, uint32_t y) {
  const uint8_t* p = &raster.at((size_t{y} * width + x) * 4);
  return {p[0], p[1], p[2], p[3]};
}

std::string Svg(const std::string& attributes, const std::string& body = "") {
  return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
         "xmlns:xi='http://www.w3.org/2001/XInclude' " +
         attributes + ">" + body + "</svg>";
}

TEST(SvgTest, RenderFillsExactlyTheTargetWithPremultipliedColours) {
  CDocument doc(Svg("viewBox='0 0 40 10'",
                    "<rect width='10' height='10' fill='#ff0000' fill-opacity='0.5'/>"
                    "<rect x='10' width='10' height='10' fill='#0000ff'/>"
                    "<rect x='20' width='10' height='10' fill='#00ff00' opacity='0.25'/>"));
  EXPECT_EQ(doc.d.VectorFlag, 1u);
  allocations.clear();
  const std::vector<uint8_t> raster = doc.Render(200, 100);  // 200 x 50 in the middle
  ASSERT_EQ(raster.size(), 80000u) << doc.Error();
  EXPECT_EQ(allocations, std::vector<uint32_t>{80000});
  for (int c = 0; c < 4; ++c) {
    EXPECT_NEAR(At(raster, 200, 25, 50)[c], (CBgra{0, 0, 128, 128}[c]), 1);
    EXPECT_NEAR(At(raster, 200, 125, 50)[c], (CBgra{0, 64, 0, 64}[c]), 1);
  }
  for (uint32_t y : {25u, 50u, 74u}) EXPECT_EQ(At(raster, 200, 75, y), kBlue) << y;
  for (uint32_t y : {0u, 24u, 75u}) EXPECT_EQ(At(raster, 200, 75, y), kClear) << y;
}

TEST(SvgTest, NaturalSizeComesFromSizeThenViewBoxThenDefault) {
  const std::pair<const char*, const char*> cases[] = {{"width='120' height='80'", "120x80"},
                                                       {"width='1in' height='0.5in'", "96x48"},
                                                       {"width='10.5' height='3.2'", "11x3"},
                                                       {"viewBox='0 0 300 150'", "300x150"},
                                                       {"width='16.07' height='0.3'", "16x1"},
                                                       {"width='50%' viewBox='0 0 40 20'", "40x20"},
                                                       {"", "100x100"}};
  for (const auto& [attributes, size] : cases) {
    CDocument doc(Svg(attributes));
    EXPECT_EQ(std::to_string(doc.d.Width) + "x" + std::to_string(doc.d.Height), size) << attributes;
  }
}

TEST(SvgTest, RefusedSizesAndUnknownHandlesAskForNoMemory) {
  CDocument doc(Svg("width='10' height='10'")), other(Svg("width='10' height='10'"));
  allocations.clear();
  const uint32_t refused[][2] = {{0, 10}, {10, 0}, {65536, 16384}, {~0u, ~0u}, {600000000, 1}};
  for (const auto& size : refused) EXPECT_TRUE(doc.Render(size[0], size[1]).empty()) << size[0];
  EXPECT_EQ(TesselGetSGVBuffer(doc.d.SvgHandle, 10, 10, nullptr), nullptr);
  EXPECT_TRUE(doc.Render(12345, 1).empty());  // the allocator has no memory
  EXPECT_EQ(allocations, std::vector<uint32_t>{12345 * 4});

  for (uint32_t handle : {other.d.SvgHandle, other.d.SvgHandle, 0u, ~0u}) TesselFreeSVG(handle);
  EXPECT_TRUE(other.Render(4, 4).empty());
  EXPECT_EQ(doc.Render(4, 4).size(), 64u);
}

TEST(SvgTest, DocumentsNeverLoadOtherFiles) {
  CTempFolder dir;
  const std::string red =
      "file://" + dir.Write("red.svg", Svg("", "<rect id='x' width='20' height='20' fill='red'/>"));
  dir.Write("style.css", "rect { fill: red; }");
  std::string attack =  // @ stands for the absolute URL of red.svg
      "<?xml version='1.0'?><?xml-stylesheet type='text/css' href='style.css'?>" +
      Svg("width='20' height='20'",
          "<image href='red.svg' width='20' height='20'/><image xlink:href='@' width='20' "
          "height='20'/>"
          "<use href='red.svg#x'/><use xlink:href='@#x'/><xi:include href='red.svg'/>"
          "<xi:include href='@'><xi:fallback><rect x='18' y='18' width='2' height='2' fill='blue'/>"
          "</xi:fallback></xi:include><rect width='1' height='1' style='fill: blue'/><image x='4' "
          "y='4' width='4' height='4' href=\"data:image/svg+xml;utf8,&lt;svg xmlns='http://www.w3."
          "org/2000/svg' width='4' height='4'&gt;&lt;rect width='4' height='4' fill='lime'/&gt;"
          "&lt;/svg&gt;\"/>");
  for (size_t at; (at = attack.find('@')) != std::string::npos;) attack.replace(at, 1, red);
  for (bool fromFile : {true, false}) {  // from a file next to its targets, and from memory
    CDocument doc(fromFile ? dir.Write("attack.svg", attack) : attack, fromFile);
    const std::vector<uint8_t> raster = doc.Render(20, 20);
    ASSERT_EQ(raster.size(), 1600u) << doc.Error();
    for (size_t i = 0; i < raster.size(); i += 4) ASSERT_NE(raster[i + 2], 255) << i / 4;  // no red
    EXPECT_EQ(At(raster, 20, 19, 19), kBlue);  // the include's fallback: it did not load
    EXPECT_EQ(At(raster, 20, 0, 0), kBlue);    // the document itself renders
    EXPECT_EQ(At(raster, 20, 5, 5), (CBgra{0, 255, 0, 255}));  // and so do data: images
  }
}

TEST(SvgTest, BadInputFailsWithTextsAUserCanActOn) {
  CTempFolder dir;
  ASSERT_EQ(mkfifo((dir / "fifo.svg").c_str(), 0600), 0);  // without a writer: must not block
  for (const std::string& path :
       {dir / "missing.svg", dir / "fifo.svg", dir / ".", dir.Write("empty.svg", "")}) {
    CDocument doc(path, true);
    EXPECT_FALSE(doc.ok);
    EXPECT_NE(doc.Error().find(": " + path), std::string::npos) << doc.Error();
  }
  for (const std::string& svg : {Svg("", "</g>"), Svg("", "<rect").substr(0, 60),
                                 std::string("\x89PNG\r\n\x1a\n garbage"), std::string()}) {
    CDocument doc(svg);
    EXPECT_FALSE(doc.ok || doc.d.SvgHandle != 0 || !doc.d.ErrorSource[0] || !doc.d.ErrorMessage[0])
        << svg;
  }
}

// The worker binds six names; nothing else of the library may leak into processes that load it.
TEST(CodecExportsTest, LibraryExportsTheSixEntryPointsOnly) {
  void* library = dlopen((ExecutableFolder() + "libTessel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"TesselLoadPNG", "TesselInitSVG", "TesselLoadSVG", "TesselGetSGVBuffer",
                           "TesselFreeSVG", "TesselLoadSVGFromData"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(library, "_ZN6tessel5codec21PremultiplyRgbaToBgraEPhm"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN6tessel5codec9CSvgTable8InstanceEv"), nullptr);
  dlclose(library);
}

}  // namespace
}  // namespace tessel::codec_test
