// The command-line tool bin/tessel, run as a real program on files made in the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/process.h"
#include "tests/codec/codec_support.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

struct CRun {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs bin/tessel in `folder` with TMPDIR at `tmpdir`.
CRun RunTool(const std::vector<std::string>& args, const CTempFolder& folder,
             const std::string& tmpdir) {
  const std::string tool = ExecutableFolder() + "tessel";
  const std::string out = folder / ".stdout", err = folder / ".stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir((folder / ".").c_str()))
      ::_exit(127);
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  CRun run;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.code = WEXITSTATUS(status);
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}

// Straight RGBA as libpng reads the file.
bool ReadRgba(const std::string& path, uint32_t& width, uint32_t& height, std::string& rgba) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  rgba.assign(PNG_IMAGE_SIZE(image), '\0');
  width = image.width;
  height = image.height;
  return png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr) != 0;
}

// Premultiplying loses colour at low alpha; what comes back must lie within that loss.
::testing::AssertionResult CloseToStraight(const std::string& got, const std::string& want) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < got.size(); i += 4) {
    const int alpha = static_cast<uint8_t>(want[i + 3]);
    for (size_t c = 0; c < 4; ++c) {
      const int g = static_cast<uint8_t>(got[i + c]), w = static_cast<uint8_t>(want[i + c]);
      const int allowed = alpha == 0 ? 0 : c == 3 ? 0 : 1 + 128 / alpha;
      if (std::abs(g - (alpha == 0 ? 0 : w)) > allowed)
        return ::testing::AssertionFailure() << "byte " << i + c << ": " << g << " vs " << w;
    }
  }
  return ::testing::AssertionSuccess();
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(tmpdir_.c_str(), 0700), 0);
    work_.Write("logo.svg",
                "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='30' viewBox='0 0 40 30' "
                "preserveAspectRatio='none'><rect width='40' height='30' fill='#0088ff' "
                "fill-opacity='0.5'/></svg>");
    photo_ = codec_test::EncodePng(
        codec_test::MakeSampleImage(PNG_COLOR_TYPE_RGBA, 8, false, false, 23, 11, 5));
    work_.Write("photo.png", std::string(photo_.begin(), photo_.end()));
    const std::vector<uint8_t> huge =
        codec_test::MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA);
    work_.Write("broken.png", std::string(huge.begin(), huge.end()));
    work_.Write("notes.jpg", "not decoded");
  }

  // The worker's working folders live in TMPDIR/TESSEL/, which it leaves for other workers.
  bool TmpdirEmpty() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tmpdir_)) {
      if (entry.path() != tmpdir_ + "/TESSEL") return false;
    }
    return true;
  }

  CTempFolder work_;
  const std::string tmpdir_ = work_ / "tmp";
  std::vector<uint8_t> photo_;
};

TEST_F(CliTest, RendersEveryGoodInputAndSaysWhyTheOthersFailed) {
  const CRun run = RunTool({"render", "--size", "20x0", "--out-dir", "out", "logo.svg", "broken.png",
                            "photo.png", "notes.jpg"},
                           work_, tmpdir_);
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "rendered 2 of 4 images into out/ (2 failed)\n");
  EXPECT_NE(run.err.find("tessel: broken.png: PNG decoder, header, the image is 100000 x 100000"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("tessel: notes.jpg: unknown extension .jpg"), std::string::npos);
  EXPECT_TRUE(TmpdirEmpty()) << "the log folder or the worker's folder was left behind";

  uint32_t width = 0, height = 0;
  std::string rgba;
  ASSERT_TRUE(ReadRgba(work_ / "out/logo.png", width, height, rgba));
  EXPECT_EQ(width, 20u);  // --size applies to SVG; the 0 keeps the natural height
  EXPECT_EQ(height, 30u);
  std::string fill;
  for (uint32_t i = 0; i < width * height; ++i) fill += std::string("\x00\x88\xff\x80", 4);
  EXPECT_TRUE(CloseToStraight(rgba, fill));

  ASSERT_TRUE(ReadRgba(work_ / "out/photo.png", width, height, rgba));
  EXPECT_EQ(width, 23u);
  std::string want;
  ASSERT_TRUE(ReadRgba(work_ / "photo.png", width, height, want));
  EXPECT_TRUE(CloseToStraight(rgba, want));
  EXPECT_FALSE(std::filesystem::exists(work_ / "out/broken.png"));
}

TEST_F(CliTest, SingleOutputInfoPingAndMistakes) {
  CRun run = RunTool({"render", "-o", "single.png", "logo.svg"}, work_, tmpdir_);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "rendered 1 of 1 image into single.png\n");
  EXPECT_TRUE(std::filesystem::exists(work_ / "single.png"));

  // Never over the input itself, nor twice into one output.
  run = RunTool({"render", "photo.png", "logo.svg", "sub/logo.svg"}, work_, tmpdir_);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("photo.png: its output ./photo.png would overwrite the input"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("sub/logo.svg: its output ./logo.png is already written for an earlier"),
            std::string::npos);
  EXPECT_EQ(ReadFile(work_ / "photo.png"), std::string(photo_.begin(), photo_.end()));

  run = RunTool({"info", "--log-dir", "logs", "logo.svg", "photo.png", "notes.jpg"}, work_, tmpdir_);
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "logo.svg: SVG, 40 x 30\nphoto.png: PNG, 23 x 11\n");
  bool logged = false;
  for (const auto& entry : std::filesystem::directory_iterator(work_ / "logs"))
    logged = logged || ReadFile(entry.path()).find("Setting logging mode") != std::string::npos;
  EXPECT_TRUE(logged) << "the worker did not log into --log-dir";

  run = RunTool({"ping"}, work_, tmpdir_);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("worker answered ping in ", 0), 0u) << run.out;

  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"render", "-o", "x.png", "logo.svg", "photo.png"},
        {"render", "--size", "20", "logo.svg"},
        {"info"},
        {"draw", "logo.svg"}}) {
    run = RunTool(wrong, work_, tmpdir_);
    EXPECT_EQ(run.code, 2) << wrong[0] << " " << wrong[1];
    EXPECT_NE(run.err.find("Try 'tessel --help'."), std::string::npos);
  }
  EXPECT_TRUE(TmpdirEmpty());
}

}  // namespace
}  // namespace tessel
