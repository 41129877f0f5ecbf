// The tool: its parts called directly, and bin/tessel run as a real process with a real worker
// on files written in the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "client/cli/color.h"
#include "client/cli/command_line.h"
#include "client/cli/input.h"
#include "client/cli/png_file.h"
#include "client/cli/png_header.h"
#include "client/cli/reference_png.h"
#include "client/cli/size_plan.h"
#include "client/cli/worker_locator.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "tests/codec/codec_support.h"
#include "tests/support/temp_folder.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

template <typename T>
std::string Text(const T& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}
std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text));
}

std::string Svg(uint32_t width, uint32_t height,
                const std::string& body = "<rect width='100%' height='100%' fill='#08f'/>") {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(width) + "' height='" +
         std::to_string(height) + "'>" + body + "</svg>";
}

// 40 x 30 of magenta at 40 % opacity, stretched to whatever size it is rendered at.
const std::string kLogo =
    "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='30' viewBox='0 0 40 30' "
    "preserveAspectRatio='none'><rect width='40' height='30' fill='#f0f' "
    "fill-opacity='0.4'/></svg>";

// Random samples: they do not compress.
std::string SamplePng(uint32_t width, uint32_t height, uint32_t seed) {
  return Text(codec_test::EncodePng(
      codec_test::MakeSampleImage(PNG_COLOR_TYPE_RGB, 8, false, false, width, height, seed)));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "<width>x<height> " and the straight RGBA pixels, as libpng reads the file.
std::string ReadRgba(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return "unreadable";
  image.format = PNG_FORMAT_RGBA;
  std::string rgba(PNG_IMAGE_SIZE(image), '\0');
  if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return "undecodable";
  return std::to_string(image.width) + "x" + std::to_string(image.height) + " " + rgba;
}

// `count` times the 4 bytes of `pixel`.
std::string Fill(size_t count, const char* pixel) {
  std::string fill;
  for (size_t i = 0; i < count; ++i) fill.append(pixel, 4);
  return fill;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(CliPartsTest, SizesFollowTheNaturalSizeRoundedToNearestAndStayWithinTheLimit) {
  const TargetSize natural{40, 30};
  struct {
    SizeRequest request;
    uint32_t width, height;
  } const cases[] = {
      {{.width = 25}, 25, 19},   // 18.75
      {{.height = 25}, 33, 25},  // 33.33
      {{.zoom = 1.5}, 60, 45},
      {{.zoom = 0.001}, 1, 1},  // never 0
      {{.width = 100, .height = 100, .keepAspect = true}, 100, 75},
      {{.width = 10, .height = 100, .keepAspect = true}, 10, 8},  // 7.5
      {{.width = 100, .height = 100}, 100, 100},
      {{.width = 20, .missingSideNatural = true}, 20, 30},  // --size 20x0
      {{}, 40, 30},
  };
  for (const auto& c : cases) {
    const TargetSize planned = PlanSize(c.request, natural);
    EXPECT_EQ(planned.width * 100000ull + planned.height, c.width * 100000ull + c.height)
        << c.width << "x" << c.height;
  }
  EXPECT_FALSE(NeedsNaturalSize({.width = 5, .height = 5}));
  EXPECT_TRUE(NeedsNaturalSize({.width = 5, .height = 5, .keepAspect = true}));
  EXPECT_TRUE(NeedsNaturalSize({.width = 5}));
  const TargetSize huge = PlanSize({.zoom = 1e12}, natural);
  EXPECT_EQ(huge.width, UINT32_MAX);

  EXPECT_EQ(CheckPixelBudget({30000, 30000}, 1ull << 30),
            "30000x30000 needs 3.35 GiB of pixels; the limit is 1 GiB (--max-memory)");
  EXPECT_EQ(CheckPixelBudget({16384, 16384}, 1ull << 30), "");  // exactly 1 GiB
  EXPECT_EQ(CheckPixelBudget({16384, 16385}, 1ull << 30).substr(0, 31),
            "16384x16385 needs 1.00 GiB of p");
  EXPECT_NE(CheckPixelBudget(huge, kMaxPixelMemory), "");  // no wrap in 64 bits
  EXPECT_EQ(FormatBytes(17), "17 bytes");
  EXPECT_EQ(FormatBytes(1536), "1.50 KiB");
  EXPECT_EQ(FormatBytes(512ull << 20), "512 MiB");

  for (const auto& [text, bytes] :
       std::initializer_list<std::pair<const char*, uint64_t>>{{"512M", 512ull << 20},
                                                               {"2G", 2ull << 30},
                                                               {"64K", 65536},
                                                               {"3GiB", 3ull << 30},
                                                               {"1000", 1000},
                                                               {"1.5G", 0},
                                                               {"G", 0},
                                                               {"2T", 0},
                                                               {"99999999999999999999", 0}}) {
    EXPECT_EQ(ParseByteCount(text).value_or(0), bytes) << text;
  }
}

TEST(CliPartsTest, ColoursAreParsedAndLaidUnderThePixels) {
  EXPECT_EQ(ParseColor("#F0a"), (Rgba{255, 0, 170, 255}));
  EXPECT_EQ(ParseColor("#102030"), (Rgba{16, 32, 48, 255}));
  EXPECT_EQ(ParseColor("#10203040"), (Rgba{16, 32, 48, 64}));
  EXPECT_EQ(ParseColor("White"), (Rgba{255, 255, 255, 255}));
  EXPECT_EQ(ParseColor("transparent"), (Rgba{0, 0, 0, 0}));
  for (const char* wrong : {"#12", "#12345", "#1234567", "#ggg", "102030", "mauve", ""})
    EXPECT_FALSE(ParseColor(wrong)) << wrong;

  // Premultiplied BGRA: magenta at alpha 102, a transparent pixel, an opaque green one.
  const std::string bgra(
      "\x66\x00\x66\x66"
      "\0\0\0\0"
      "\x00\xff\x00\xff",
      12);
  unsigned char rgba[12];
  ToStraightRgba(Bytes(bgra), rgba);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rgba), 12), std::string("\xff\x00\xff\x66"
                                                                        "\0\0\0\0"
                                                                        "\x00\xff\x00\xff",
                                                                        12));
  ToStraightRgba(Bytes(bgra), rgba, Rgba{255, 255, 255, 255});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rgba), 12), std::string("\xff\x99\xff\xff"
                                                                        "\xff\xff\xff\xff"
                                                                        "\x00\xff\x00\xff",
                                                                        12));
  // Half-transparent blue under it: alpha 102 + 128 * 153 / 255 = 179.
  ToStraightRgba(Bytes(bgra), rgba, Rgba{0, 0, 255, 128});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rgba), 8), std::string("\x91\x00\xff\xb3"
                                                                       "\x00\x00\xff\x80",
                                                                       8));
}

// The chunk types of a PNG file in order, each IDAT once however many follow each other.
std::string ChunkTypes(const std::string& png, size_t* idats) {
  std::string types;
  *idats = 0;
  for (size_t at = 8; at + 12 <= png.size();) {
    uint32_t length = 0;
    std::memcpy(&length, png.data() + at, sizeof length);
    length = ntohl(length);
    const std::string type = png.substr(at + 4, 4);
    if (type == "IDAT") ++*idats;
    if (types.size() < 4 || types.substr(types.size() - 4) != type) types += type;
    at += 12 + size_t{length};
  }
  return types;
}

// Encodes `image` into a memory file and returns the file.
std::string Encode(const CPixels& image, const std::optional<PngSettings>& settings,
                   std::string& error) {
  CUniqueFd file(::memfd_create("cli_test", MFD_CLOEXEC));
  const bool ok = settings ? EncodePng(file.Get(), image, *settings, error)
                           : EncodePng(file.Get(), image, error);
  if (!ok) return {};
  std::string png(static_cast<size_t>(::lseek(file.Get(), 0, SEEK_END)), '\0');
  return ::pread(file.Get(), png.data(), png.size(), 0) == static_cast<ssize_t>(png.size())
             ? png
             : std::string();
}

std::string DecodeRgba(const std::string& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return "unreadable";
  image.format = PNG_FORMAT_RGBA;
  std::string rgba(PNG_IMAGE_SIZE(image), '\0');
  if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return "undecodable";
  return std::to_string(image.width) + "x" + std::to_string(image.height) + " " + rgba;
}

TEST(CliPartsTest, TheFastWriterCompressesSmallImagesWholeAndStreamsLargeOnes) {
  // Premultiplied BGRA with every alpha, transparent and opaque runs among them; a large image
  // is opaque grey past its first rows, which every setting compresses quickly.
  const auto make = [](uint32_t width, uint32_t height) {
    std::string bgra(size_t{width} * height * 4, '\x80');
    for (size_t i = 0; i < std::min<size_t>(bgra.size() / 4, 1u << 16); ++i) {
      const unsigned alpha = i % 3 == 0 ? 255u : static_cast<unsigned>(i * 7 % 256);
      for (int c = 0; c < 3; ++c)
        bgra[i * 4 + c] = static_cast<char>((i * (c + 3) % 256) * alpha / 255);
      bgra[i * 4 + 3] = static_cast<char>(alpha);
    }
    return bgra;
  };
  for (const auto& [width, height, whole] :
       {std::tuple{67u, 41u, true}, std::tuple{1u, 1u, true}, std::tuple{1025u, 1024u, false}}) {
    const std::string bgra = make(width, height);
    for (const std::optional<Rgba> background :
         {std::optional<Rgba>(), std::optional(Rgba{9, 200, 30, 128})}) {
      if (background && width > 100) continue;
      CPixels image{width, height, Bytes(bgra), background, PngCompression::kFast};
      std::string error;
      const std::string fast = Encode(image, std::nullopt, error);
      ASSERT_FALSE(fast.empty()) << error;
      const std::string streamed = Encode(image, SettingsFor(PngCompression::kFast), error);
      ASSERT_FALSE(streamed.empty()) << error;
      // Both decode, with CRCs and checksums checked, to what the conversion gives.
      std::string expected(bgra.size(), '\0');
      ToStraightRgba(Bytes(bgra), reinterpret_cast<unsigned char*>(expected.data()), background);
      expected = std::to_string(width) + "x" + std::to_string(height) + " " + expected;
      EXPECT_TRUE(DecodeRgba(fast) == expected) << width << "x" << height;
      EXPECT_TRUE(DecodeRgba(streamed) == expected) << width << "x" << height;
      // Whole: one IDAT of libdeflate's making; streamed: libpng's file, one IDAT per 8 KiB.
      size_t idats = 0;
      EXPECT_EQ(ChunkTypes(fast, &idats), "IHDRIDATIEND");
      EXPECT_EQ(fast == streamed, !whole) << width << "x" << height;
      if (whole) {
        EXPECT_EQ(idats, 1u) << width << "x" << height;
      }
    }
  }

  // A full disk is reported with the system's reason, on either path.
  CUniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  const std::string small = make(8, 8);
  const CPixels image{8, 8, Bytes(small), std::nullopt, PngCompression::kFast};
  std::string error;
  EXPECT_FALSE(EncodePng(full.Get(), image, error));
  EXPECT_EQ(error, "No space left on device");
  error.clear();
  EXPECT_FALSE(EncodePng(full.Get(), image, SettingsFor(PngCompression::kFast), error));
  EXPECT_EQ(error, "No space left on device");
  // Pixels that do not match their description are refused before anything is written.
  const CPixels lying{9, 8, Bytes(small), std::nullopt, PngCompression::kFast};
  EXPECT_FALSE(EncodePng(full.Get(), lying, error));
  EXPECT_EQ(error, "the worker returned an empty image");
}

TEST(CliPartsTest, FormatsAreToldByContent) {
  const std::string png = SamplePng(2, 2, 1);
  EXPECT_EQ(SniffKind(Bytes(png)), ImageKind::kPng);
  EXPECT_EQ(SniffKind(Bytes(png.substr(0, 7))), ImageKind::kUnknown);
  EXPECT_EQ(SniffKind(Bytes(std::string("\x1f\x8b\x08", 3))), ImageKind::kSvg);
  EXPECT_EQ(SniffKind(Bytes("\xef\xbb\xbf \n\t<?xml version='1.0'?><svg/>")), ImageKind::kSvg);
  for (const char* other : {"", "GIF89a", "hello <svg/>", "\xef\xbb\xbf"})
    EXPECT_EQ(SniffKind(Bytes(other)), ImageKind::kUnknown) << other;
}

// Every format the generators make, with and without transparency and interlacing; a 16-bit
// image is held against its 8-bit twin, which libpng's simplified reader decodes exactly.
TEST(CliPartsTest, TheReferenceDecodeIsLibpngsInEveryFormatAndAppliesNoGamma) {
  const std::pair<int, std::vector<int>> formats[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  std::string error;
  for (const auto& [type, depths] : formats) {
    for (const int depth : depths) {
      for (int variant = 0; variant < 4; ++variant) {
        const auto png = [&, type = type](int bits) {
          return codec_test::EncodePng(
              codec_test::MakeSampleImage(type, bits, variant & 2, variant & 1, 13, 7, depth));
        };
        std::vector<uint8_t> file = png(depth), expected;
        ASSERT_TRUE(codec_test::DecodeSimplified(png(std::min(depth, 8)), &expected));
        // A gamma of 1.0 would change every sample if it were applied.
        if (variant == 3) {
          std::vector<uint8_t> gamma(file.begin(), file.begin() + 33);
          codec_test::AppendChunk(&gamma, "gAMA", {0, 1, 0x86, 0xa0});
          file.erase(file.begin(), file.begin() + 33);
          file.insert(file.begin(), gamma.begin(), gamma.end());
        }
        CRgbaImage image;
        ASSERT_TRUE(DecodeReferencePng(std::as_bytes(std::span(file)), 1 << 30, image, error))
            << error;
        std::string bgra(image.rgba.size(), '\0');
        ToPremultipliedBgra(image.rgba, reinterpret_cast<std::byte*>(bgra.data()));
        EXPECT_TRUE(image.width == 13 && image.height == 7 && bgra == Text(expected))
            << type << "/" << depth << "/" << variant;
      }
    }
  }
  std::vector<uint8_t> huge = codec_test::MakePngStart(100000, 100000, 8, 6);
  codec_test::AppendChunk(&huge, "IDAT", {});
  CRgbaImage image;
  EXPECT_FALSE(DecodeReferencePng(std::as_bytes(std::span(huge)), 1 << 30, image, error));
  EXPECT_NE(error.find("100000 x 100000"), std::string::npos) << error;
}

TEST(CliPartsTest, TheCommandLineRefusesWhatItCannotDo) {
  auto parse = [](std::vector<const char*> args, std::string& error) {
    args.insert(args.begin(), "tessel");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), error);
  };
  std::string error;
  const std::optional<CommandLine> line =
      parse({"render", "-w20", "--height=30", "-a", "-b", "#fff", "--max-memory", "2G", "--worker",
             "w", "-o", "-", "-j3", "-"},
            error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->size.width * 1000 + line->size.height, 20030u);
  EXPECT_TRUE(line->size.keepAspect && !line->size.missingSideNatural);
  EXPECT_EQ(line->background, (Rgba{255, 255, 255, 255}));
  EXPECT_EQ(line->pixelMemory, 2ull << 30);
  EXPECT_EQ(line->jobs, 3u);
  EXPECT_EQ(line->workerPath + line->outFile + line->inputs.at(0), "w--");

  const std::pair<std::vector<const char*>, const char*> mistakes[] = {
      {{"render", "-o", "a.png", "-o", "b.png", "x.svg"}, "-o is given twice; name one place"},
      {{"render", "--size", "9x9", "-w", "4", "x.svg"}, "--size sets both sides"},
      {{"render", "-z", "2", "-h", "4", "x.svg"}, "--zoom scales the natural size"},
      {{"render", "x.svg", "-h"}, "-h needs a value (-h is the height; the help is --help)"},
      {{"render", "-w", "0", "x.svg"}, "-w takes a whole number of pixels from 1 up"},
      {{"render", "-z", "-1", "x.svg"}, "-z takes a factor above 0"},
      {{"render", "--max-memory", "4G", "x.svg"}, "--max-memory can be at most 4095M"},
      {{"render", "--background-color", "mauve", "x.svg"}, "--background-color takes #rgb"},
      {{"render", "-", "-"}, "standard input (-) can be read only once"},
      {{"render", "-"}, "standard input (-) has no name to name its output after"},
      {{"info", "-w", "3", "x.svg"}, "the size, colour, memory and output options belong to"},
      {{"render", "-a=1", "x.svg"}, "-a takes no value"},
      {{"render", "-j", "0", "x.svg"}, "-j takes a whole number of workers from 1 to 256"},
      {{"render", "--jobs=257", "x.svg"}, "--jobs takes a whole number of workers"},
  };
  for (const auto& [args, message] : mistakes) {
    EXPECT_FALSE(parse(args, error)) << message;
    EXPECT_EQ(error.substr(0, std::string(message).size()), message);
  }
}

TEST(CliPartsTest, APngHeaderIsTakenOnlyWhenEveryFieldIsOneTheFormatAllows) {
  auto start = [](uint32_t width, uint32_t height, int depth, int type, int interlace = 0) {
    return Text(codec_test::MakePngStart(width, height, depth, type, interlace));
  };
  // One byte of the signature or the IHDR chunk changed, and its CRC made right again.
  auto with = [](std::string png, size_t at, char value) {
    png[at] = value;
    const uint32_t crc = htonl(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(&png[12]), 17)));
    std::memcpy(&png[29], &crc, 4);
    return png;
  };
  auto read = [](const std::string& png) {
    const std::optional<PngHeader> header = ParsePngHeader(Bytes(png));
    return header ? std::to_string(header->width) + "x" + std::to_string(header->height) + " " +
                        DescribePngFormat(*header)
                  : "refused";
  };
  EXPECT_EQ(read(start(0x7fffffff, 3, 16, 6, 1) + "\0\0\0\0IDAT"),
            "2147483647x3 16-bit RGBA, interlaced");
  EXPECT_EQ(read(start(1, 1, 1, 3)), "1x1 1-bit palette");
  EXPECT_EQ(read(start(5, 4, 2, 0)), "5x4 2-bit grey");
  EXPECT_EQ(read(start(5, 4, 8, 4)), "5x4 8-bit grey and alpha");
  EXPECT_EQ(read(start(5, 4, 16, 2)), "5x4 16-bit RGB");
  const std::string good = start(5, 4, 8, 6);
  std::string badCrc = good;
  badCrc[32] ^= 1;
  for (const std::string& wrong :
       {start(0, 4, 8, 6), start(5, 0, 8, 6), start(0x80000000, 4, 8, 6), start(5, 4, 16, 3),
        start(5, 4, 4, 2), start(5, 4, 3, 0), start(5, 4, 8, 5), start(5, 4, 8, 6, 2),
        with(good, 26, 1), with(good, 27, 1), with(good, 11, 14), with(good, 15, 'r'),
        with(good, 1, 'p'), badCrc, good.substr(0, 32)})
    EXPECT_EQ(read(wrong), "refused") << testing::PrintToString(wrong);

  // From a file: its first bytes only, and a FIFO is left alone rather than waited on.
  CTempFolder folder;
  EXPECT_TRUE(ReadPngHeader(folder.Write("a.png", good + "IDAT and the rest")));
  EXPECT_FALSE(ReadPngHeader(folder.Write("b.png", good.substr(0, 32))));
  EXPECT_FALSE(ReadPngHeader(folder / "missing.png"));
  EXPECT_FALSE(ReadPngHeader(folder / ""));
  ASSERT_EQ(::mkfifo((folder / "pipe.png").c_str(), 0600), 0);
  EXPECT_FALSE(ReadPngHeader(folder / "pipe.png"));
}

TEST(CliPartsTest, TheWorkerIsSoughtWhereItIsInstalledThenBesideTheTool) {
  const std::vector<std::string> candidates = WorkerCandidates("/opt/t/bin/");
  ASSERT_GE(candidates.size(), 2u);
  EXPECT_EQ(candidates[0], "/opt/t/libexec/tessel/Tessel");
  EXPECT_EQ(candidates[1], "/opt/t/bin/Tessel");

  CTempFolder folder;
  const std::string worker = folder.Write("Tessel", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(worker.c_str(), 0755), 0);
  const std::string data = folder.Write("data", "");
  std::string path, error;
  const std::vector<std::string> none = {folder / "a/Tessel", data, folder / "c/Tessel"};
  EXPECT_EQ(FindWorker("", nullptr, none, path, error), WorkerLookup::kNotFound);
  EXPECT_EQ(error, "cannot find the worker program Tessel: looked in " + folder / "a/Tessel" +
                       ", " + data + " and " + folder / "c/Tessel" +
                       "; set TESSEL_WORKER or use --worker");
  EXPECT_EQ(FindWorker("", "", {none[0], worker}, path, error), WorkerLookup::kFound);
  EXPECT_EQ(path, worker);
  // The option first, then the variable, and neither falls back to the search.
  EXPECT_EQ(FindWorker(data, worker.c_str(), {worker}, path, error), WorkerLookup::kBadOption);
  EXPECT_EQ(FindWorker("", data.c_str(), {worker}, path, error), WorkerLookup::kNotFound);
  EXPECT_EQ(error.substr(0, 20 + data.size()), "TESSEL_WORKER names " + data);
  EXPECT_EQ(FindWorker(worker, data.c_str(), {}, path, error), WorkerLookup::kFound);
}

// bin/tessel run in a folder of the test's own, with TMPDIR at its tmp/.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir((work_ / "tmp").c_str(), 0700), 0); }

  // `environment`: "NAME=VALUE ..." for the tool.
  std::string Command(const std::string& args, const std::string& tool,
                      const std::string& environment) const {
    return "cd '" + work_ / "" + "' && TMPDIR='" + work_ / "tmp" + "' " + environment + " exec '" +
           tool + "' " + args + " >.out 2>.err";
  }
  int Run(const std::string& args, const std::string& tool = ExecutableFolder() + "tessel",
          const std::string& environment = "") {
    return Finish(std::system(Command(args, tool, environment).c_str()));
  }
  // Starts the tool without waiting for it; Wait() collects it.
  pid_t Start(const std::string& args) {
    const std::string command = Command(args, ExecutableFolder() + "tessel", "");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return Finish(status);
  }
  int Finish(int status) {
    out_ = ReadFile(work_ / ".out"), err_ = ReadFile(work_ / ".err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  CTempFolder work_;
  std::string out_, err_;
};

TEST_F(CliTest, RendersWhatItCanAndExplainsTheRest) {
  work_.Write("logo.svg", kLogo);
  work_.Write("photo.png", SamplePng(23, 11, 5));
  work_.Write("huge.png", Text(codec_test::MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA)));

  EXPECT_EQ(Run("render --size 20x0 --out-dir out logo.svg huge.png photo.png"), 1);
  EXPECT_EQ(out_, "");  // messages go to standard error only
  EXPECT_NE(err_.find("tessel: huge.png: PNG decoder, header, the image is 100000 x 100000"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("tessel: photo.png: warning: a PNG image keeps its own size (23 x 11); "),
            std::string::npos)
      << err_;
  EXPECT_TRUE(err_.ends_with("\nrendered 2 of 3 images into out/ (1 failed)\n")) << err_;
  EXPECT_FALSE(fs::exists(work_ / "out/huge.png"));
  // --size applies to SVG; the 0 keeps the natural height.
  EXPECT_TRUE(ReadRgba(work_ / "out/logo.png") == "20x30 " + Fill(20 * 30, "\xff\x00\xff\x66"));
  EXPECT_TRUE(ReadRgba(work_ / "out/photo.png") == ReadRgba(work_ / "photo.png"));

  EXPECT_EQ(Run("render -o single.png logo.svg"), 0) << err_;
  EXPECT_EQ(err_, "rendered 1 of 1 image into single.png\n");
  EXPECT_EQ(ReadRgba(work_ / "single.png").substr(0, 6), "40x30 ");
  // Wider than libpng's default limit of a million pixels: its IHDR says 1000001 x 1.
  EXPECT_EQ(Run("render --size 1000001x1 -o wide.png logo.svg"), 0) << err_;
  EXPECT_EQ(ReadFile(work_ / "wide.png").substr(16, 8), std::string("\0\x0f\x42\x41\0\0\0\1", 8));

  EXPECT_EQ(Run("info logo.svg photo.png"), 0) << err_;
  EXPECT_EQ(out_,
            "logo.svg: SVG, 40 x 30\n"
            "photo.png: PNG, 23 x 11, 8-bit RGB (from the PNG header; not decoded)\n");
  EXPECT_EQ(Run("ping"), 0) << err_;
  EXPECT_EQ(out_.rfind("worker answered ping in ", 0), 0u) << out_;

  // Mistakes are found before anything is done: one message, no worker.
  work_.Write("blocker", "");
  for (const char* wrong :
       {"render -o x.png logo.svg photo.png", "render --size 20 logo.svg", "info", "draw logo.svg",
        "render -o a.png -o b.png logo.svg", "--worker /nowhere/Tessel ping",
        "render --log-dir blocker/logs logo.svg photo.png"}) {
    EXPECT_EQ(Run(wrong), 2) << wrong;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 2) << wrong << ": " << err_;
    EXPECT_TRUE(err_.ends_with("\nTry 'tessel --help'.\n")) << wrong;
  }
  // The last of them: one message for the run, not one for each input.
  EXPECT_EQ(err_.rfind("tessel: cannot use blocker/logs as the log folder: Not a directory\n", 0),
            0u)
      << err_;
  // The worker's folders live in TMPDIR/TESSEL/, which it leaves for other workers.
  for (const auto& entry : fs::recursive_directory_iterator(work_ / "tmp"))
    EXPECT_EQ(entry.path(), work_ / "tmp/TESSEL");
}

TEST_F(CliTest, SandboxModesAndTheConfinementReport) {
  work_.Write("logo.svg", Svg(4, 4));
  for (const char* wrong :
       {"--sandbox sometimes ping", "--sandbox", "sandbox logo.svg", "--sandbox off sandbox"}) {
    EXPECT_EQ(Run(wrong), 2) << wrong;
    EXPECT_NE(err_.find("Try 'tessel --help'."), std::string::npos) << wrong;
  }
  EXPECT_EQ(Run("--sandbox=sometimes info logo.svg"), 2);
  EXPECT_EQ(err_.rfind("tessel: --sandbox takes require, best-effort or off, not sometimes\n", 0),
            0u)
      << err_;
  EXPECT_EQ(Run("--sandbox off ping"), 0) << err_;
  EXPECT_EQ(err_.rfind("tessel: warning: the worker runs unconfined, with your rights; ", 0), 0u)
      << err_;
  // Only what is there is named readable; what is not is reported without asking the worker.
  EXPECT_EQ(Run("info --sandbox best-effort logo.svg gone.png"), 1);
  EXPECT_EQ(out_, "logo.svg: SVG, 4 x 4\n");
  EXPECT_EQ(err_, "tessel: gone.png: cannot read it: No such file or directory\n");

  // Every layer has its line, shown in force or missing, then the worker's word on itself; the
  // status says confined only when all of it does.
  const int status = Run("sandbox");
  ASSERT_TRUE(status == 0 || status == 1) << err_;
  bool layersInForce = true;
  for (std::string layer :
       {"no_new_privs", "capabilities", "environment", "resource limits", "Landlock", "seccomp"}) {
    const size_t line = out_.find("\n  " + layer + ": ");
    ASSERT_NE(line, std::string::npos) << layer << " in\n" << out_;
    const std::string state = out_.substr(line + layer.size() + 5, 8);
    EXPECT_TRUE(state == "in force" || state == "missing:") << state;
    layersInForce = layersInForce && state == "in force";
  }
  const size_t self = out_.find("\nThe worker's own report:\n  Privilege test ");
  ASSERT_NE(self, std::string::npos) << out_;
  EXPECT_NE(out_.find("\n  Mandatory level: ", self), std::string::npos) << out_;
  EXPECT_NE(out_.find("\n  Privileges: ", self), std::string::npos) << out_;
  const bool selfConfined =
      out_.find("\n  Privilege test OK\n  Mandatory level: Low\n  Privileges: (none)\n") !=
      std::string::npos;
  EXPECT_EQ(status == 0, layersInForce && selfConfined) << out_;
}

TEST_F(CliTest, SizesColoursFormatsAndStandardStreams) {
  work_.Write("logo.svg", kLogo);
  const struct {
    const char* options;
    const char* size;
  } sizes[] = {
      {"-w 25", "25x19"},
      {"--height 25", "33x25"},
      {"-z 1.5", "60x45"},
      {"-w 100 -h 100 -a", "100x75"},
      {"--size 100x100 --keep-aspect-ratio", "100x75"},
      {"--size 100x100", "100x100"},
      {"--width=50 -h10", "50x10"},
  };
  for (const auto& [options, size] : sizes) {
    EXPECT_EQ(Run(std::string("render ") + options + " -o sized.png logo.svg"), 0) << err_;
    EXPECT_EQ(ReadRgba(work_ / "sized.png").substr(0, std::strlen(size) + 1),
              std::string(size) + " ")
        << options;
  }
  EXPECT_EQ(Run("render -b white -o white.png logo.svg"), 0) << err_;
  EXPECT_TRUE(ReadRgba(work_ / "white.png") == "40x30 " + Fill(40 * 30, "\xff\x99\xff\xff"));

  // Named for something else, compressed, or named in bytes that are not UTF-8.
  const std::string photo = SamplePng(23, 11, 5);
  work_.Write("fake.png", Svg(7, 5));
  work_.Write("photo.svg", photo);
  work_.Write("notes.svg", "hello");
  work_.Write("\xff\xfe.svg", Svg(6, 4));
  gzFile packed = gzopen((work_ / "packed.svgz").c_str(), "wb");
  ASSERT_NE(packed, nullptr);
  gzwrite(packed, kLogo.data(), static_cast<unsigned>(kLogo.size()));
  gzclose(packed);
  EXPECT_EQ(Run("render --out-dir out fake.png packed.svgz photo.svg notes.svg '\xff\xfe.svg'"), 1);
  EXPECT_EQ(err_,
            "tessel: notes.svg: not a PNG or SVG image\n"
            "rendered 4 of 5 images into out/ (1 failed)\n");
  EXPECT_EQ(ReadRgba(work_ / "out/fake.png").substr(0, 4), "7x5 ");
  EXPECT_TRUE(ReadRgba(work_ / "out/packed.png") == "40x30 " + Fill(40 * 30, "\xff\x00\xff\x66"));
  EXPECT_TRUE(ReadRgba(work_ / "out/photo.png") == ReadRgba(work_ / "photo.svg"));
  EXPECT_EQ(ReadRgba(work_ / "out/\xff\xfe.png").substr(0, 4), "6x4 ");

  // A large file goes to the worker by its path, which the confined worker is let read.
  std::string comments;
  for (int i = 0; i < 65; ++i) comments += "<!--" + std::string(1 << 20, 'x') + "-->";
  work_.Write("large.svg", Svg(8, 6, comments + "<rect width='8' height='6' fill='red'/>"));
  EXPECT_EQ(Run("render -o large.png large.svg"), 0) << err_;
  EXPECT_TRUE(ReadRgba(work_ / "large.png") == "8x6 " + Fill(8 * 6, "\xff\x00\x00\xff"));

  // Standard input in, the image alone on standard output, messages on standard error.
  EXPECT_EQ(Run("render -w 20 -o - - <logo.svg"), 0) << err_;
  EXPECT_EQ(err_, "rendered 1 of 1 image into standard output\n");
  work_.Write("piped.png", out_);
  EXPECT_EQ(ReadRgba(work_ / "piped.png").substr(0, 6), "20x15 ");
  EXPECT_EQ(Run("info - <photo.svg"), 0) << err_;
  EXPECT_EQ(out_, "standard input: PNG, 23 x 11, 8-bit RGB (from the PNG header; not decoded)\n");
}

TEST_F(CliTest, TargetsBeyondThePixelLimitAreRefusedBeforeTheyAreRendered) {
  work_.Write("logo.svg", kLogo);
  EXPECT_EQ(Run("render --size 30000x30000 -o big.png logo.svg"), 1);
  EXPECT_EQ(err_,
            "tessel: logo.svg: 30000x30000 needs 3.35 GiB of pixels; the limit is 1 GiB "
            "(--max-memory)\nrendered 0 of 1 image into big.png (1 failed)\n");
  EXPECT_FALSE(fs::exists(work_ / "tmp/TESSEL")) << "a worker was started";
  // A size that follows the natural one is checked once that is known.
  EXPECT_EQ(Run("render -z 1000 --max-memory 2G -o big.png logo.svg"), 1);
  EXPECT_NE(err_.find("40000x30000 needs 4.47 GiB of pixels; the limit is 2 GiB"),
            std::string::npos)
      << err_;
  // The limit is the pixels': their description comes on top.
  EXPECT_EQ(Run("render --max-memory 64K --size 128x128 -o edge.png logo.svg"), 0) << err_;
  EXPECT_EQ(ReadRgba(work_ / "edge.png").substr(0, 8), "128x128 ");
  EXPECT_EQ(Run("render --max-memory 64K --size 128x129 -o edge.png logo.svg"), 1);
  EXPECT_EQ(
      err_.rfind("tessel: logo.svg: 128x129 needs 64.50 KiB of pixels; the limit is 64 KiB", 0), 0u)
      << err_;
  EXPECT_FALSE(fs::exists(work_ / "big.png"));
}

TEST_F(CliTest, EveryCompressionWritesTheSamePixels) {
  // Gradients and soft edges, which the settings compress differently.
  work_.Write("art.svg", Svg(300, 200,
                             "<radialGradient id='g'><stop offset='0' stop-color='#fc0'/><stop "
                             "offset='1' stop-color='#06c' stop-opacity='0.3'/></radialGradient>"
                             "<rect width='300' height='200' fill='url(#g)'/><circle cx='120' "
                             "cy='90' r='70' fill='#c03' fill-opacity='0.7'/>"));
  work_.Write("photo.png", SamplePng(64, 48, 9));
  for (const std::string input : {"art.svg", "photo.png"}) {
    ASSERT_EQ(Run("render -o plain.png " + input), 0) << err_;
    const std::string pixels = ReadRgba(work_ / "plain.png");
    if (input == "photo.png") {
      EXPECT_TRUE(pixels == ReadRgba(work_ / "photo.png"));
    }
    std::map<std::string, std::string> files;
    for (const std::string level : {"fast", "default", "best"}) {
      ASSERT_EQ(Run("render --compression " + level + " -o " + level + ".png " + input), 0) << err_;
      files[level] = ReadFile(work_ / (level + ".png"));
      EXPECT_TRUE(ReadRgba(work_ / (level + ".png")) == pixels) << input << " " << level;
    }
    EXPECT_TRUE(ReadFile(work_ / "plain.png") == files["fast"]) << input;
    EXPECT_NE(files["fast"], files["default"]) << input << ": the choice did not reach the writer";
    // Noise is as large under every setting; only a drawing shows which is smallest.
    if (input == "art.svg") {
      EXPECT_LE(files["best"].size(), files["fast"].size());
    }
  }
  EXPECT_EQ(Run("render --compression max -o x.png art.svg"), 2);
  EXPECT_EQ(err_.rfind("tessel: --compression takes fast, default or best, not max\n", 0), 0u)
      << err_;
  EXPECT_EQ(Run("info --compression best art.svg"), 2);
  EXPECT_FALSE(fs::exists(work_ / "x.png"));
}

TEST_F(CliTest, InfoReadsAPngHeaderAndLeavesTheRestToTheWorker) {
  work_.Write("logo.svg", kLogo);
  // 1.6 GB of pixels and a truncated IDAT of a few bytes: only the header can answer.
  const std::string header = Text(codec_test::MakePngStart(20000, 20000, 8, PNG_COLOR_TYPE_RGBA));
  const std::string idat("\0\0\0\x06IDAT\x78\x01\0\0", 12);
  work_.Write("big.png", header + idat);
  work_.Write("small.png", Text(codec_test::EncodePng(codec_test::MakeSampleImage(
                               PNG_COLOR_TYPE_GRAY, 16, true, false, 3, 5, 1))));
  EXPECT_EQ(Run("info big.png small.png"), 0) << err_;
  EXPECT_EQ(out_,
            "big.png: PNG, 20000 x 20000, 8-bit RGBA (from the PNG header; not decoded)\n"
            "small.png: PNG, 3 x 5, 16-bit grey, interlaced (from the PNG header; not decoded)\n");
  EXPECT_FALSE(fs::exists(work_ / "tmp/TESSEL")) << "a worker was started";
  EXPECT_EQ(Run("info - <big.png"), 0) << err_;
  EXPECT_EQ(out_.rfind("standard input: PNG, 20000 x 20000, 8-bit RGBA (from the", 0), 0u) << out_;

  // A header that fails its checks is the worker's to judge, and explain.
  std::string badCrc = header + idat;
  badCrc[32] ^= 1;
  work_.Write("bad.png", badCrc);
  EXPECT_EQ(Run("info bad.png logo.svg"), 1);
  EXPECT_EQ(out_, "logo.svg: SVG, 40 x 30\n");
  EXPECT_EQ(err_, "tessel: bad.png: PNG decoder, header, IHDR: CRC error\n");
}

// The sessions' ids are the names of their folders in TMPDIR/TESSEL/.
std::set<std::string> SessionIds(const std::string& tmp) {
  return Names(tmp + "/TESSEL");
}

TEST_F(CliTest, SignalsEndTheRunAndLeaveNothingBehind) {
  work_.Write("small.svg", Svg(4, 4));
  // Noise is slow to render: seconds at this size, long after the signal has come.
  work_.Write("slow.svg", Svg(100, 100,
                              "<filter id='f'><feTurbulence baseFrequency='0.05' "
                              "numOctaves='8'/></filter><rect width='100' height='100' "
                              "filter='url(#f)'/>"));
  ASSERT_EQ(::mkfifo((work_ / "pipe.svg").c_str(), 0600), 0);
  // SIGTERM comes while the tool waits for a FIFO that has no writer; the others while the
  // worker renders.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string slow = signal == SIGTERM ? "pipe.svg" : "slow.svg";
    std::error_code ignored;
    fs::remove_all(work_ / "out", ignored);
    const pid_t tool = Start("render --size 1500x1500 --out-dir out small.svg " + slow);
    ASSERT_GT(tool, 0);
    // The first output appears whole, by a rename; the tool then goes on to the second.
    bool ended = false;
    while (!fs::exists(work_ / "out/small.png") && !ended) {
      siginfo_t info{};
      ended = ::waitid(P_PID, tool, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::set<std::string> ids = SessionIds(work_ / "tmp");
    ASSERT_FALSE(ended) << ReadFile(work_ / ".err");
    ASSERT_FALSE(ids.empty());
    ASSERT_EQ(::kill(tool, signal), 0);
    EXPECT_EQ(Wait(tool), 128 + signal) << err_;
    EXPECT_TRUE(err_.ends_with(": rendered 1 of 2 images into out/\n")) << err_;
    EXPECT_EQ(err_.rfind(std::string("tessel: interrupted by SIG"), 0), 0u) << err_;
    EXPECT_EQ(Names(work_ / "out"), std::set<std::string>{"small.png"});
    EXPECT_EQ(Names(work_ / "tmp"), std::set<std::string>{"TESSEL"});  // no log folder
    EXPECT_EQ(Names(work_ / "tmp/TESSEL"), std::set<std::string>{});
    for (const std::string& name : Names("/dev/shm")) {
      for (const std::string& id : ids) EXPECT_EQ(name.find(id), std::string::npos) << name;
    }
  }
}

TEST_F(CliTest, AnyNumberOfJobsWritesTheSameFilesAndMessagesInInputOrder) {
  // Failures of every kind between the successes, of sizes that take different times.
  std::string inputs;
  for (int i = 0; i < 12; ++i) {
    std::string name = "p" + std::to_string(i) + ".svg";
    switch (i) {
      case 2:
        work_.Write(name = "notes.svg", "hello");
        break;
      case 4:
        work_.Write(name = "photo.png", SamplePng(23, 11, 5));
        break;
      case 5:
        ASSERT_EQ(::mkdir((work_ / "sub").c_str(), 0700), 0);
        work_.Write(name = "sub/p1.svg", Svg(3, 3));
        break;
      case 7:
        name = "gone.svg";
        break;
      case 9:
        work_.Write(name = "huge.png",
                    Text(codec_test::MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA)));
        break;
      default:
        work_.Write(name, Svg(4 + 36 * i, 2 + 24 * i, "<circle cx='50%' cy='50%' r='40%'/>"));
    }
    inputs += " " + name;
  }
  // -z: SVG images are probed for their natural size first, and the PNG image gets a warning.
  EXPECT_EQ(Run("render -j 1 -z 1.5 --out-dir out1" + inputs), 1);
  const std::string one = err_;
  std::vector<std::string> named;
  for (size_t line = 0; line < one.size(); line = one.find('\n', line) + 1) {
    if (one.compare(line, 8, "tessel: ") == 0)
      named.push_back(one.substr(line + 8, one.find(':', line + 8) - line - 8));
  }
  EXPECT_EQ(named, (std::vector<std::string>{"notes.svg", "photo.png", "sub/p1.svg", "gone.svg",
                                             "huge.png"}))
      << one;
  EXPECT_NE(one.find("tessel: sub/p1.svg: its output out1/p1.png is already written for an "
                     "earlier input\n"),
            std::string::npos)
      << one;
  EXPECT_TRUE(one.ends_with("\nrendered 8 of 12 images into out1/ (4 failed)\n")) << one;
  EXPECT_EQ(ReadRgba(work_ / "out1/p11.png").substr(0, 8), "600x399 ");

  for (const char* jobs : {"2", "5"}) {
    const std::string out = std::string("out") + jobs;
    EXPECT_EQ(Run(std::string("render -z 1.5 --jobs ") + jobs + " --out-dir " + out + inputs), 1);
    std::string expected = one;
    for (size_t at = 0; (at = expected.find("out1/", at)) != std::string::npos; ++at)
      expected.replace(at, 4, out);
    EXPECT_EQ(err_, expected) << jobs;
    EXPECT_EQ(Names(work_ / out), Names(work_ / "out1"));
    for (const std::string& name : Names(work_ / "out1"))
      EXPECT_TRUE(ReadFile(work_ / (out + "/" + name)) == ReadFile(work_ / ("out1/" + name)))
          << name;
  }
  EXPECT_EQ(Names(work_ / "tmp/TESSEL"), std::set<std::string>{});
}

TEST_F(CliTest, AFailedWriteKeepsTheOldFileAndSaysWhy) {
  work_.Write("small.svg", Svg(4, 4));
  work_.Write("noise.png", SamplePng(160, 160, 7));  // 75 KiB that do not compress
  // More than a stdio buffer holds, so that the first writes already fail; a device is written
  // as the stream it is, never replaced or removed.
  EXPECT_EQ(Run("render -o /dev/full noise.png"), 1);
  EXPECT_EQ(err_.rfind("tessel: noise.png: cannot write /dev/full: No space left on device\n", 0),
            0u)
      << err_;
  EXPECT_TRUE(fs::is_character_file("/dev/full"));

  // A full disk: a 64 KiB file system in a mount namespace of a child's own, gone with it.
  ASSERT_EQ(::mkdir((work_ / "full").c_str(), 0700), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  constexpr int kCannotMount = 77;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tessel-test", (work_ / "full").c_str(), "tmpfs", 0, "size=64k") != 0)
      ::_exit(kCannotMount);
    const int first = Run("render -o full/out.png small.svg");
    const std::string old = ReadFile(work_ / "full/out.png");
    const int second = Run("render -o full/out.png noise.png");
    std::string text = std::to_string(first) + " " + std::to_string(second) + " " +
                       (!old.empty() && ReadFile(work_ / "full/out.png") == old ? "kept" : "lost");
    for (const std::string& name : Names(work_ / "full")) text += " " + name;
    text += "\n" + err_;
    (void)!::write(report[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotMount)
    GTEST_SKIP() << "cannot mount a small file system here (needs CAP_SYS_ADMIN)";
  EXPECT_EQ(text,
            "0 1 kept out.png\n"
            "tessel: noise.png: cannot write full/out.png: No space left on device\n"
            "rendered 0 of 1 image into full/out.png (1 failed)\n");
}

TEST_F(CliTest, TheWorkerIsFoundInAnInstalledLayoutOrWhereTheUserSays) {
  work_.Write("logo.svg", Svg(4, 4));
  const std::string built = ExecutableFolder();
  const fs::path prefix = work_ / "prefix";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "libexec/tessel");
  fs::copy_file(built + "tessel", prefix / "bin/tessel");
  for (const char* file : {"Tessel", "libTessel.so", "libTesselPng.so", "libTesselSvg.so"})
    fs::copy_file(built + file, prefix / "libexec/tessel" / file);
  const std::string tool = prefix / "bin/tessel";

  EXPECT_EQ(Run("ping", tool), 0) << err_;
  EXPECT_NE(out_.find("\nworker program: " + (prefix / "libexec/tessel/Tessel").string() + "\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(Run("render -o logo.png logo.svg", tool), 0) << err_;
  fs::remove_all(prefix / "libexec");
  for (const char* file : {"Tessel", "libTessel.so", "libTesselPng.so", "libTesselSvg.so"})
    fs::copy_file(built + file, prefix / "bin" / file);
  EXPECT_EQ(Run("ping", tool), 0) << err_;
  EXPECT_NE(out_.find("\nworker program: " + (prefix / "bin/Tessel").string() + "\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(Run("--worker " + built + "Tessel ping", tool), 0) << err_;
  EXPECT_NE(out_.find("\nworker program: " + built + "Tessel\n"), std::string::npos) << out_;

  EXPECT_EQ(Run("ping", tool, "TESSEL_WORKER=/nowhere/Tessel"), 1);
  EXPECT_EQ(err_,
            "tessel: TESSEL_WORKER names /nowhere/Tessel, which cannot be run: No such file or "
            "directory; correct it, or unset it to search\n");
}

// A small reader for the JSON report: every scalar under its path ("files.0.status"), strings
// unescaped; false when the text is not one well-formed value.
std::optional<std::string> JsonText(std::string_view& in) {
  if (in.empty() || in[0] != '"') return {};
  std::string text;
  for (size_t i = 1; i < in.size(); ++i) {
    if (in[i] == '"') {
      in.remove_prefix(i + 1);
      return text;
    }
    if (in[i] != '\\') {
      text += in[i];
    } else if (++i < in.size() && in[i] == 'u' && i + 4 < in.size()) {
      text += static_cast<char>(std::stoi(std::string(in.substr(i + 1, 4)), nullptr, 16));
      i += 4;
    } else if (i < in.size()) {
      text += in[i] == 'n' ? '\n' : in[i];
    }
  }
  return {};
}
bool Flatten(std::string_view& in, const std::string& path,
             std::map<std::string, std::string>& out) {
  const auto skip = [&] {
    while (!in.empty() && std::isspace(static_cast<unsigned char>(in[0]))) in.remove_prefix(1);
  };
  skip();
  if (in.empty()) return false;
  const char open = in[0];
  if (open == '"') {
    const std::optional<std::string> text = JsonText(in);
    return text && out.emplace(path, *text).second;
  }
  if (open != '{' && open != '[') {
    const size_t end = std::min(in.find_first_not_of("-+.eE0123456789"), in.size());
    out[path] = std::string(in.substr(0, end));
    in.remove_prefix(end);
    return end != 0;
  }
  in.remove_prefix(1);
  for (size_t i = 0;; ++i) {
    skip();
    if (!in.empty() && in[0] == (open == '{' ? '}' : ']')) {
      in.remove_prefix(1);
      return true;
    }
    if (i > 0 && (in.empty() || in[0] != ',')) return false;
    if (i > 0) in.remove_prefix(1), skip();
    std::string key = std::to_string(i);
    if (open == '{') {
      const std::optional<std::string> name = JsonText(in);
      skip();
      if (!name || in.empty() || in[0] != ':') return false;
      in.remove_prefix(1);
      key = *name;
    }
    if (!Flatten(in, path.empty() ? key : path + "." + key, out)) return false;
  }
}
std::map<std::string, std::string> ReadReport(const std::string& file) {
  const std::string json = ReadFile(file);
  std::string_view in = json;
  std::map<std::string, std::string> report;
  EXPECT_TRUE(Flatten(in, "", report) && in.find_first_not_of(" \n") == std::string::npos) << json;
  return report;
}

// A row of check's table.
std::string Row(const char* status, size_t count) {
  char row[64];
  ::snprintf(row, sizeof row, "  %-22s %zu\n", status, count);
  return row;
}

TEST_F(CliTest, CheckPassesEveryFormatAndGoesOnPastBrokenFilesAndACrashedWorker) {
  const std::pair<int, std::vector<int>> formats[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  fs::create_directories(work_ / "set/adam7");
  uint32_t count = 0;
  for (const auto& [type, depths] : formats) {
    for (const int depth : depths) {
      for (int variant = 0; variant < 4; ++variant) {
        const bool adam7 = variant & 2;
        ++count;
        work_.Write("set/" + std::string(adam7 ? "adam7/" : "") + std::to_string(count) + ".png",
                    Text(codec_test::EncodePng(codec_test::MakeSampleImage(
                        type, depth, adam7, variant & 1, 29 + count, 13, count))));
      }
    }
  }
  EXPECT_EQ(Run("check -j 2 set"), 0) << err_;
  EXPECT_EQ(out_, "checked 60 files:\n" + Row("pass", 60));

  // A chain of 5000 uses overflows the SVG library's stack (at the usual 8 MiB) while it draws.
  std::string chain = "<defs><rect id='u0' width='4' height='4'/>";
  for (int i = 1; i <= 5000; ++i)
    chain += "<use id='u" + std::to_string(i) + "' xlink:href='#u" + std::to_string(i - 1) + "'/>";
  chain += "</defs><use xlink:href='#u5000'/>";
  const std::string valid = SamplePng(16, 16, 7);
  std::string badCrc = valid;
  badCrc[badCrc.find("IDAT") + 20] ^= 0x5a;
  fs::create_directories(work_ / "broken");
  work_.Write("broken/a-cut.png", valid.substr(0, valid.size() / 2));
  work_.Write("broken/b-crc.png", badCrc);
  work_.Write("broken/c-text.png", "not a picture");
  work_.Write("broken/d-open.svg", "<svg xmlns='http://www.w3.org/2000/svg' width='4'");
  work_.Write("broken/d-open-ref.png", SamplePng(4, 4, 1));
  work_.Write("broken/e-chain.svg",
              "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
              "width='8' height='8'>" +
                  chain + "</svg>");
  work_.Write("broken/e-chain-ref.png", SamplePng(8, 8, 2));
  work_.Write("broken/f-fine.png", valid);
  // One worker: the file after the crash has a new one.
  const int status =
      Finish(std::system(("ulimit -s 8192 2>/dev/null; " +
                          Command("check -j 1 broken", ExecutableFolder() + "tessel", ""))
                             .c_str()));
  EXPECT_EQ(status, 1) << err_;
  for (const char* line :
       {"broken/a-cut.png: rejected-by-both: worker: ", "\nbroken/b-crc.png: rejected-by-both: ",
        "\nbroken/c-text.png: rejected-by-both: ", "\nbroken/d-open.svg: rejected-by-worker: ",
        "\nbroken/e-chain.svg: worker-crashed: the worker crashed while decoding "})
    EXPECT_NE(out_.find(line), std::string::npos) << line << " in\n" << out_;
  EXPECT_TRUE(out_.ends_with("checked 6 files:\n" + Row("pass", 1) + Row("rejected-by-both", 3) +
                             Row("rejected-by-worker", 1) + Row("worker-crashed", 1)))
      << out_;
  EXPECT_EQ(Names(work_ / "tmp/TESSEL"), std::set<std::string>{});
}

TEST_F(CliTest, CheckHoldsSvgRenderingsAgainstTheirReferencesWithinTheTolerance) {
  fs::create_directories(work_ / "svg");
  work_.Write("svg/logo.svg", kLogo);
  ASSERT_EQ(Run("render --size 20x10 -o svg/other-ref.png svg/logo.svg"), 0) << err_;
  // The logo's reference is one step more opaque in its first row: within the tolerance of 2.
  const std::string rgba = ReadRgba(work_ / "svg/other-ref.png");
  ASSERT_EQ(rgba.substr(0, 6), "20x10 ");
  codec_test::CSampleImage reference{20, 10, PNG_COLOR_TYPE_RGBA, 8};
  reference.rows.assign(rgba.begin() + 6, rgba.end());
  for (size_t x = 0; x < 20; ++x) ++reference.rows[x * 4 + 3];
  work_.Write("svg/logo-ref.png", Text(codec_test::EncodePng(reference)));
  // Opaque blue over the left half of the picture its reference shows.
  work_.Write("svg/other.svg", kLogo.substr(0, kLogo.size() - 6) +
                                   "<rect width='20' height='30' fill='#00f'/></svg>");
  work_.Write("svg/q\"uote.svg", Svg(4, 4));

  EXPECT_EQ(Run("check --json report.json svg"), 1) << err_;
  EXPECT_EQ(out_,
            "svg/other.svg: fail: 100 of 200 pixels differ by more than 2; the most is 255\n"
            "svg/q\"uote.svg: skipped: no reference image q\"uote-ref.png beside it\n"
            "checked 3 files:\n" +
                Row("pass", 1) + Row("fail", 1) + Row("skipped", 1));
  std::map<std::string, std::string> report = ReadReport(work_ / "report.json");
  EXPECT_EQ(report["files.0.file"] + report["files.0.status"] + report["files.0.max_diff"],
            "svg/logo.svgpass1");
  EXPECT_EQ(std::stod(report["files.0.diff_share"]), 0);
  EXPECT_EQ(report["files.1.status"] + report["files.1.max_diff"], "fail255");
  EXPECT_EQ(std::stod(report["files.1.diff_share"]), 0.5);
  EXPECT_EQ(report["files.2.file"] + " " + report["files.2.status"], "svg/q\"uote.svg skipped");
  EXPECT_EQ(report["summary.pass"] + report["summary.fail"] + report["summary.skipped"], "111");
  EXPECT_EQ(report.size(), 5 * 3 + 3u);

  EXPECT_EQ(Run("check --tolerance 0 --json strict.json svg"), 1) << err_;
  report = ReadReport(work_ / "strict.json");
  EXPECT_EQ(report["files.0.status"] + report["files.0.max_diff"], "fail1");
  EXPECT_EQ(std::stod(report["files.0.diff_share"]), 0.1);
  // Under another suffix there are no references, and the PNG files are checked themselves.
  EXPECT_EQ(Run("check --reference-suffix .expected.png svg"), 0) << err_;
  EXPECT_TRUE(out_.ends_with("checked 5 files:\n" + Row("pass", 2) + Row("skipped", 3))) << out_;
  for (const char* wrong : {"check", "check --tolerance 256 svg", "check svg/logo.svg",
                            "render --json r.json svg/logo.svg", "check -o x.png svg"})
    EXPECT_EQ(Run(wrong), 2) << wrong << ": " << err_;
}

}  // namespace
}  // namespace tessel::cli
