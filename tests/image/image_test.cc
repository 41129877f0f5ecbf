#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "image/file_system.h"
#include "image/image_processor.h"
#include "logging/context_log.h"
#include "logging/logged_files.h"
#include "platform/process.h"
#include "tests/codec/codec_support.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"
#include "wire/block_set.h"

namespace tessel::test {
namespace {

namespace fs = std::filesystem;
using Blocks = std::vector<std::string>;

// The host of image commands: a private TMPDIR, log and control block, an output that records
// the writes, and a processor bound to `library`.
struct CImageHost final : IOutputWriter {
  explicit CImageHost(const std::string& library = {}) {
    temp.UseAsUntoldTmpdir();
    log.SetContext("[s1] ");
    processor.emplace(Options(library));
  }
  ~CImageHost() { processor.reset(); }
  ImageProcessorOptions Options(const std::string& library = {}) {
    return {.libraryPath = library, .logger = &logger, .imageDebug = {}};
  }
  // Runs `code` on `on`, else on the host's processor; no `blocks`: no usable input.
  bool Run(uint32_t code, std::optional<Blocks> blocks, CImageProcessor* on = nullptr) {
    std::vector<Block> list;
    for (size_t i = 0; blocks && i < blocks->size(); ++i) {
      list.emplace_back((const unsigned char*)(*blocks)[i].data(), (*blocks)[i].size());
    }
    std::vector<unsigned char> bytes(BlockSetSize(list));
    CBlockSetView view;
    uint64_t claimed = 0;
    EXPECT_TRUE(WriteBlockSet(bytes.data(), bytes.size(), list) &&
                ParseBlockSet(bytes.data(), uint32_t(bytes.size()), view, claimed));
    const CImageCommand command{code, Control(), blocks ? &view : nullptr, *this, "s1", log};
    return (on ? *on : *processor).RunImageCommand(command);
  }
  // Runs `duringWrite` first, as a client answering a BufferRequest may.
  bool WriteOutput(uint32_t, BlockList blocks) override {
    if (duringWrite) std::exchange(duringWrite, nullptr)();
    auto& copy = writes.emplace_back();
    for (const Block& block : blocks) copy.emplace_back(block.begin(), block.end());
    return !fail;
  }
  CControlBlockView Control() { return CControlBlockView(control); }
  size_t Count(const std::string& text) const { return CountInLogs(logs / "", text); }
  bool Has(const std::string& text) const { return Count(text) != 0; }
  // The reply's descriptor and pixels of the `index`th write.
  ImageDescriptor Reply(size_t index) const {
    ImageDescriptor reply{};
    const std::string& bytes = writes.at(index).at(0);
    std::memcpy(&reply, bytes.data(), std::min(bytes.size(), sizeof reply));
    return reply;
  }
  const std::string& Pixels(size_t index) const { return writes.at(index).at(1); }

  CTempFolder temp;  // also TMPDIR while the host lives
  CTempFolder logs;
  CLogger logger{logs.LogOptions()};
  CContextLog log{false, logger};
  std::vector<Blocks> writes;
  bool fail = false;
  std::function<void()> duringWrite;
  unsigned char control[sizeof(CControlBlock) + 16] = {};
  std::optional<CImageProcessor> processor;
};

std::string Bytes(const auto& value) {
  return std::string((const char*)&value, sizeof value);
}
std::string Descriptor(uint64_t id, uint32_t targetWidth = 0, uint32_t targetHeight = 0) {
  ImageDescriptor descriptor{};
  descriptor.TargetWidth = targetWidth, descriptor.TargetHeight = targetHeight, descriptor.Id = id;
  return Bytes(descriptor);
}
// The UTF-16 bytes of `name` with its NUL.
std::string WideName(const std::u16string& name) {
  return std::string((const char*)name.c_str(), (name.size() + 1) * 2);
}
// A Load request for a file (source kind 1) or for the bytes `data` (kind 0).
Blocks LoadFile(uint64_t id, const std::string& path, uint32_t width = 0, uint32_t height = 0) {
  return {Bytes(1), Descriptor(id, width, height), WideName({path.begin(), path.end()})};
}
Blocks LoadData(uint64_t id, const std::u16string& name, const std::string& data,
                uint32_t width = 0, uint32_t height = 0) {
  return {Bytes(0), Descriptor(id, width, height), WideName(name), data,
          Bytes(uint32_t(data.size()))};
}
// Opaque red and blue: premultiplied BGRA keeps them as they are.
const std::string kPng = [] {
  const std::vector<uint8_t> png =
      codec_test::EncodePng({2, 1, 6, 8, false, {255, 0, 0, 255, 0, 0, 255, 255}});
  return std::string(png.begin(), png.end());
}();
std::string SvgDocument(uint32_t width, uint32_t height) {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='" + std::to_string(width) + "' height='" +
         std::to_string(height) + "'><rect width='100%' height='100%'/></svg>";
}

// A changed file or changed bytes under a kept Id show whether the codec was asked again.
TEST(ImageProcessorTest, SvgIsRenderedAtEachRequestedSizeFromOneLoad) {
  CImageHost host;
  const std::string file = host.temp.Write("Picture.SVG", SvgDocument(40, 30));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadFile(7, file)));
  host.temp.Write("Picture.SVG", SvgDocument(10, 10));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadFile(7, file, 200, 100)));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadFile(7, file, 0, 50)));
  EXPECT_EQ(host.Control().Status(), 1);
  const uint32_t sizes[][2] = {{40, 30}, {200, 100}, {40, 50}};
  for (size_t i = 0; i < 3; ++i) {
    const ImageDescriptor reply = host.Reply(i);
    EXPECT_TRUE(reply.Id == 7 && reply.VectorFlag == 1 && reply.Width == 40) << i;
    EXPECT_TRUE(reply.TargetWidth == sizes[i][0] && reply.TargetHeight == sizes[i][1]) << i;
    EXPECT_EQ(host.Pixels(i).size(), sizes[i][0] * sizes[i][1] * 4);
  }
  EXPECT_TRUE(
      host.Has("Image width 40, height 30, buffer size 80000 (requested width 200, height 100)"));

  // Free, then the same Id is decoded again.
  ASSERT_TRUE(host.Run(kCommandFree, Blocks{Descriptor(7)}));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadFile(7, file)));
  EXPECT_EQ(host.Reply(3).Width, 10u);
  EXPECT_TRUE(host.Count("Temp path ") == 1 && host.Count("Initialize SVG Library") == 1);
}

TEST(ImageProcessorTest, PngIsDecodedOnceAndItsPixelsReturnedAgain) {
  CImageHost host;
  const std::string& png = kPng;
  const uint64_t id = 0x100000005ull;
  host.Control().SetWorkingSetSize(0);
  ASSERT_TRUE(host.Run(kCommandLoad, LoadData(id, u"a.png", png)));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadData(id, u"a.png", "not a png", 300, 300)));
  EXPECT_EQ(host.Pixels(0), std::string("\x00\x00\xff\xff\xff\x00\x00\xff", 8));
  EXPECT_EQ(host.Pixels(1), host.Pixels(0));
  EXPECT_TRUE(host.Reply(1).Id == id && host.Reply(1).Width == 2);
  EXPECT_NE(host.Control().WorkingSetSize(), 0u);
  // An Id that differs only in its upper half is another image.
  EXPECT_FALSE(host.Run(kCommandLoad, LoadData(5, u"b.PNG", "not a png")));
  ASSERT_TRUE(host.Run(kCommandLoad, LoadData(5, u"b.PNG", png)));
  EXPECT_EQ(host.processor->Images().Size(), 2u);
}

TEST(ImageProcessorTest, WorkingSetIsWrittenOnlyAfterImageCommandsThatCanRead) {
  CImageHost host;
  host.Control().SetWorkingSetSize(0);
  EXPECT_FALSE(host.Run(8, Blocks{}));  // an unknown command
  EXPECT_EQ(host.Control().WorkingSetSize(), 0u);
  EXPECT_TRUE(host.Run(kCommandGetBitmap, Blocks{}));
  EXPECT_NE(host.Control().WorkingSetSize(), 0u);
  EXPECT_FALSE(host.Has("GetBitmap operation started"));

  ImageProcessorOptions blind = host.Options();
  blind.memoryStatusPath = "/nonexistent/status", blind.imageDebug = true;
  CImageProcessor unresolved(blind);
  host.Control().SetWorkingSetSize(0);
  EXPECT_TRUE(host.Run(kCommandGetBitmap, Blocks{}, &unresolved));
  EXPECT_EQ(host.Control().WorkingSetSize(), 0u);
  EXPECT_TRUE(host.Has("GetBitmap operation started"));
}

TEST(ImageProcessorTest, FailedLoadsLogWhyAndStoreNothing) {
  CImageHost host;  // libTessel.so next to the test program
  // Nothing is logged after the start for a name without a known extension; a dot in a folder
  // name is no extension.
  for (const std::u16string name : {u"photo.jpg", u"dir.svg/file"}) {
    EXPECT_FALSE(host.Run(kCommandLoad, LoadData(1, name, "abc")));
    const std::string log = ReadLogs(host.logs / "");
    EXPECT_EQ(log.find("\r\n\r\n", log.rfind("Load operation started")), log.size() - 4);
  }
  EXPECT_TRUE(host.Has("Library has been loaded " + ExecutableFolder() + "libTessel.so"));

  EXPECT_FALSE(host.Run(kCommandLoad, LoadData(2, u"x.png", "not a png")));
  EXPECT_TRUE(host.Has("Loading error. PNG decoder, the data is not a PNG image: "));

  const std::string missing = host.temp / "missing.png";
  EXPECT_FALSE(host.Run(kCommandLoad, LoadFile(3, missing)));
  EXPECT_TRUE(host.Has("Cannot open file " + missing + ", 2, No such file or directory"));
  EXPECT_FALSE(host.Run(kCommandLoad, LoadData(4, u"y.svg", "<svg")));
  EXPECT_TRUE(host.Has(", y.svg\r\n"));
  EXPECT_EQ(host.processor->Images().Size(), 0u);
  EXPECT_TRUE(host.writes.empty());
}

TEST(ImageProcessorTest, CodecWithoutAnExportIsBoundAgainAtEveryCommand) {
  CImageHost host(ExecutableFolder() + "libTesselPartial.so");
  EXPECT_FALSE(host.Run(kCommandGetBitmap, Blocks{}));
  EXPECT_FALSE(host.Run(kCommandGetBitmap, Blocks{}));
  EXPECT_FALSE(host.processor->Initialized());
  EXPECT_EQ(host.Count("Cannot find TesselLoadSVGFromData"), 2u);
  EXPECT_EQ(host.Count("Cannot load Tessel.dll, " + UserName() + "\r\n"), 2u);
  EXPECT_EQ(host.Count("Temp path "), 2u);
  EXPECT_FALSE(host.Has("Initialize SVG Library"));

  CImageProcessor unloadable(host.Options(host.temp / "libAbsent.so"));
  EXPECT_FALSE(host.Run(kCommandGetBitmap, Blocks{}, &unloadable));
  EXPECT_TRUE(host.Has("Cannot load library " + host.temp / "libAbsent.so, "));
}

TEST(ImageProcessorTest, RequestsThatDoNotHoldWhatTheyClaimAreRefused) {
  CImageHost host;
  const std::string svg = SvgDocument(10, 10), name = WideName(u"a.svg"), request = Descriptor(9);
  const std::string size = Bytes(uint32_t(svg.size())), kind = Bytes(0);
  const std::vector<Blocks> hostile = {
      {kind, request},                                              // too few blocks
      {"\1\0", request, name, svg, size},                           // short source kind
      {kind, request.substr(1), name, svg, size},                   // short descriptor
      {kind, request, name.substr(0, name.size() - 2), svg, size},  // no NUL
      {kind, request, name + "x", svg, size},                       // odd name
      {kind, request, name, svg, "\1\0"},                           // short length
      {kind, request, name, svg, Bytes(uint32_t(svg.size() + 1))},  // length past its block
  };
  host.Control().SetWorkingSetSize(0);
  for (const Blocks& blocks : hostile) EXPECT_FALSE(host.Run(kCommandLoad, blocks));
  EXPECT_EQ(host.Count("Input block error"), hostile.size());
  EXPECT_NE(host.Control().WorkingSetSize(), 0u);  // written after a failed command too
  EXPECT_FALSE(host.Run(kCommandLoad, std::nullopt));
  EXPECT_TRUE(host.Has("Buffer access error.") && host.Has("Input buffer error"));
  EXPECT_FALSE(host.Run(kCommandFree, Blocks{request.substr(1)}) || host.Run(kCommandFree, {}));
  EXPECT_EQ(host.processor->Images().Size(), 0u);

  // A size whose raster would not fit 32 bits is refused; the image stays.
  EXPECT_TRUE(host.Run(kCommandLoad, LoadData(9, u"a.svg", svg)));
  EXPECT_FALSE(host.Run(kCommandLoad, LoadData(9, u"a.svg", svg, 65536, 16384)));
  EXPECT_TRUE(host.Has("Requested size too large, width 65536, height 16384"));
  EXPECT_EQ(host.processor->Images().Size(), 1u);
  EXPECT_EQ(host.writes.size(), 1u);
  // For a kept Id only the request's sizes count: the other blocks are not read.
  EXPECT_TRUE(host.Run(kCommandLoad, Blocks{"", Descriptor(9, 4, 4)}));
  EXPECT_EQ(host.Pixels(1).size(), 64u);
}

TEST(ImageProcessorTest, ReplyOutlivesAFreeSentWhileItIsWritten) {
  CImageHost host;
  const std::string& png = kPng;
  ASSERT_TRUE(host.Run(kCommandLoad, LoadData(3, u"p.png", png)));
  host.duringWrite = [&] {  // as a client may while it answers a BufferRequest
    EXPECT_TRUE(host.Run(kCommandFree, Blocks{Descriptor(3)}));
  };
  ASSERT_TRUE(host.Run(kCommandLoad, LoadData(3, u"p.png", png)));
  EXPECT_EQ(host.processor->Images().Size(), 0u);
  EXPECT_EQ(host.Pixels(1), host.Pixels(0));

  // A writer that fails leaves Status alone and the Load still succeeds.
  host.Control().SetStatus(0);
  host.fail = true;
  EXPECT_TRUE(host.Run(kCommandLoad, LoadData(3, u"p.png", png)));
  EXPECT_EQ(host.Control().Status(), 0);
}

TEST(WorkingFolderTest, SessionFolderIsMadeAndRemovedButNothingAboveIt) {
  CImageHost host;
  const std::string expected = host.temp / "TESSEL/abc";
  {
    CWorkingFolder folder(host.logger);
    folder.InitializeWorkingFolder("abc");
    EXPECT_EQ(folder.Path(), expected + "/");
    EXPECT_TRUE(folder.RemoveAtExit() && fs::is_directory(expected));
    EXPECT_TRUE(host.Has("Temporaly path initialized, " + expected + ", 1\r\n"));
  }
  EXPECT_FALSE(fs::exists(expected));
  EXPECT_TRUE(fs::is_directory(host.temp / "TESSEL"));

  // Identifiers that could reach outside TESSEL/ get the temporary folder, which is never removed.
  for (const std::string id : {"..", "../escape", "a/b", "", "."}) {
    CWorkingFolder folder(host.logger);
    folder.InitializeWorkingFolder(id);
    EXPECT_TRUE(folder.Path() == host.temp / "" && !folder.RemoveAtExit()) << id;
    folder.RemoveWorkingFolder();
    EXPECT_TRUE(fs::is_directory(host.temp / "")) << id;
  }
  EXPECT_FALSE(fs::exists(host.temp / "escape") || fs::exists(host.temp / "TESSEL/a"));
}

TEST(WorkingFolderTest, NoTemporaryFolderIsMadeAndNoOtherUsersFolderIsUsed) {
  CImageHost host;  // its temporary folder restores TMPDIR
  const std::string missing = host.temp / "gone/deeper/";
  ::setenv("TMPDIR", missing.c_str(), 1);
  CWorkingFolder folder(host.logger);
  EXPECT_FALSE(folder.InitializeWorkingFolder("abc"));
  EXPECT_TRUE(host.Has("Temporary folder " + missing + " does not exist; it is not created"));
  EXPECT_FALSE(host.Run(kCommandGetBitmap, Blocks{}));
  EXPECT_TRUE(host.Has("Cannot initialize image processor"));
  EXPECT_FALSE(fs::exists(host.temp / "gone"));

  // A TESSEL folder that others may write: the one with the user id in its name stands in.
  ::setenv("TMPDIR", (host.temp / "").c_str(), 1);
  ASSERT_EQ(::mkdir((host.temp / "TESSEL").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((host.temp / "TESSEL").c_str(), 0777), 0);
  EXPECT_TRUE(folder.InitializeWorkingFolder("abc"));
  EXPECT_EQ(folder.Path(), host.temp / "TESSEL-" + std::to_string(::geteuid()) + "/abc/");
  EXPECT_FALSE(fs::exists(host.temp / "TESSEL/abc"));
}

// A session's folder made ahead (while the worker starts) is the folder the first command would
// have made, with the same lines at the same place; one that no command used goes without a line.
TEST(WorkingFolderTest, PreparedFolderIsUsedAsMadeOrRemovedUnannounced) {
  CImageHost host;
  const std::string prepared = host.temp / "TESSEL/abc";
  {
    CWorkingFolder folder(host.logger);
    folder.Prepare("abc");
    EXPECT_TRUE(fs::is_directory(prepared));
    EXPECT_FALSE(host.Has("Temporaly path"));
    ASSERT_TRUE(folder.InitializeWorkingFolder("abc"));
    EXPECT_TRUE(folder.Path() == prepared + "/" && folder.RemoveAtExit());
    EXPECT_EQ(host.Count("Temporaly path initialized, " + prepared + ", 1\r\n"), 1u);
  }
  EXPECT_FALSE(fs::exists(prepared));
  EXPECT_EQ(host.Count("Remove temporaly directory " + prepared + "\r\n"), 1u);

  // Made for one session, asked for another; made and never asked for.
  {
    CWorkingFolder folder(host.logger);
    folder.Prepare("old");
    ASSERT_TRUE(folder.InitializeWorkingFolder("new"));
    EXPECT_FALSE(fs::exists(host.temp / "TESSEL/old"));
    EXPECT_TRUE(fs::is_directory(host.temp / "TESSEL/new"));
    CWorkingFolder unused(host.logger);
    unused.Prepare("unused");
    EXPECT_TRUE(fs::is_directory(host.temp / "TESSEL/unused"));
  }
  EXPECT_FALSE(fs::exists(host.temp / "TESSEL/unused") || fs::exists(host.temp / "TESSEL/new"));
  EXPECT_FALSE(host.Has("TESSEL/old") || host.Has("TESSEL/unused"));

  // A temporary folder that is gone when the command comes is reported then, as before.
  CWorkingFolder late(host.logger);
  const std::string missing = host.temp / "gone/";
  ::setenv("TMPDIR", missing.c_str(), 1);
  late.Prepare("abc");
  EXPECT_FALSE(host.Has("Temporary folder " + missing));
  EXPECT_FALSE(late.InitializeWorkingFolder("abc"));
  EXPECT_TRUE(host.Has("Temporary folder " + missing + " does not exist; it is not created"));
}

// The worker's processor prepares its session on a thread of its own; what it logs and answers
// must not tell the two apart.
TEST(ImageProcessorTest, PreparedSessionLogsAndDecodesAsAnUnpreparedOne) {
  const auto run = [](bool prepare) {
    CImageHost host;
    if (prepare) host.processor->PrepareSession("s1");
    EXPECT_TRUE(host.Run(kCommandLoad, LoadData(1, u"a.png", kPng)));
    EXPECT_EQ(host.Pixels(0), std::string("\x00\x00\xff\xff\xff\x00\x00\xff", 8));
    host.processor.reset();
    EXPECT_FALSE(fs::exists(host.temp / "TESSEL/s1"));
    // The lines without their time and process header.
    std::string lines;
    for (const std::string& record : SplitRecords(ReadLogs(host.logs / ""))) {
      lines += record.substr(record.find("] ") + 2) + "\n";
    }
    return std::make_pair(lines, host.temp / "");
  };
  auto [plain, plainTemp] = run(false);
  auto [prepared, preparedTemp] = run(true);
  ASSERT_NE(plain.find("Temporaly path initialized"), std::string::npos) << plain;
  size_t at;
  while ((at = prepared.find(preparedTemp)) != std::string::npos)
    prepared.replace(at, preparedTemp.size(), plainTemp);
  EXPECT_EQ(prepared, plain);
}

TEST(WorkingFolderTest, FolderWithAFileIsLeftAfterTwentyAttempts) {
  CImageHost host;
  const std::string expected = host.temp / "TESSEL/busy";
  CWorkingFolder folder(host.logger);
  folder.InitializeWorkingFolder("busy");
  host.temp.Write("TESSEL/busy/left.txt", "x");
  folder.RemoveWorkingFolder();
  EXPECT_TRUE(fs::exists(expected + "/left.txt"));
  EXPECT_EQ(host.Count("Remove temporaly directory " + expected + "\r\n"), 20u);
  EXPECT_EQ(host.Count("Cannot remove temporaly folder " + expected + "/, 39, "), 1u);
  EXPECT_STREQ(folder.Path(), "");
}

// Files and the default file system, with a logger of the test's own.
class FileTest : public testing::Test {
 protected:
  bool Logged(const std::string& text) const { return CountInLogs(logs_ / "", text) != 0; }
  CTempFolder temp_, logs_;
  CLogger logger_{logs_.LogOptions()};
};
using ReadWholeFileTest = FileTest;
using ReadExactTest = FileTest;
using DefaultFileSystemTest = FileTest;

TEST_F(ReadWholeFileTest, ReadsRegularFilesAndRefusesTheRestAtOnce) {
  HeapBlock data;
  uint32_t size = 0;
  ASSERT_TRUE(ReadWholeFile(temp_.Write("f.bin", std::string("a\0b", 3)), data, size, logger_));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), size), std::string("a\0b", 3));
  EXPECT_TRUE(!ReadWholeFile(temp_ / "none", data, size, logger_) && errno == ENOENT);

  // A FIFO would block the reader in open(2).
  std::string why;
  ASSERT_EQ(::mkfifo((temp_ / "pipe.png").c_str(), 0600), 0);
  EXPECT_FALSE(ReadWholeFile(temp_ / "pipe.png", data, size, logger_, &why));
  EXPECT_EQ(why, "not a regular file: a FIFO");
  EXPECT_FALSE(ReadWholeFile(temp_ / "", data, size, logger_, &why));
  EXPECT_TRUE(why == "not a regular file: a folder" && errno == EISDIR) << why;
}

TEST_F(ReadExactTest, ContinuesShortReadsAndFailsAtTheEndOfTheFile) {
  // A pipe that holds only the first part of the data until the reader has taken it.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  CUniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  ASSERT_EQ(::write(writeEnd.Get(), "first,", 6), 6);
  std::thread late([&] {
    int pending = 1;
    while (::ioctl(readEnd.Get(), FIONREAD, &pending) == 0 && pending != 0)
      std::this_thread::yield();
    EXPECT_EQ(::write(writeEnd.Get(), "second", 6), 6);
  });
  char both[12];
  EXPECT_TRUE(ReadExact(readEnd.Get(), both, sizeof both, logger_));
  late.join();
  EXPECT_EQ(std::string(both, sizeof both), "first,second");

  CUniqueFd fd(::open(temp_.Write("short", "0123456789").c_str(), O_RDONLY));
  char buffer[64];
  EXPECT_FALSE(ReadExact(fd.Get(), buffer, sizeof buffer, logger_));
  EXPECT_TRUE(Logged("Stream read buffer error, requested ") && !Logged("Zero read"));

  // Above 1 GiB the read goes in chunks; the buffer is reserved, not touched beyond the file.
  const uint32_t huge = 0x40000001;
  void* region = ::mmap(nullptr, huge, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(::lseek(fd.Get(), 0, SEEK_SET), 0);
  EXPECT_FALSE(ReadExact(fd.Get(), region, huge, logger_));
  EXPECT_EQ(std::string(static_cast<char*>(region), 10), "0123456789");
  ::munmap(region, huge);
  EXPECT_TRUE(Logged("Zero read") && Logged("Read buffer, requested ") && Logged(", read 10, "));
}

TEST_F(DefaultFileSystemTest, IsRegisteredAndAnswersFromTheFileItself) {
  CFileSystemService service(logger_);
  ASSERT_EQ(service.FileSystems().size(), 1u);
  EXPECT_TRUE(Logged("Create File System Service") && Logged("Registered file system Default"));
  IFileSystem& files = service.Default();
  const std::string file = temp_.Write("f.txt", "12345");
  EXPECT_TRUE(files.FileSize(file, 77) == 5 && files.FileSize(file + ".none", 77) == 77);
  EXPECT_EQ(files.LastWriteTime(file + ".none"), 0u);
  // Now, in 100-ns units since 1601: after 2020 and before 2200.
  EXPECT_GT(files.LastWriteTime(file), 132223104000000000ull);
  EXPECT_LT(files.LastWriteTime(file), 189000000000000000ull);
  EXPECT_TRUE(files.FileExists(file) && !files.FileExists(temp_ / ""));
  EXPECT_TRUE(files.RemoveFile(file) && files.RemoveFile(file) && !files.FileExists(file));
  EXPECT_FALSE(files.RemoveFile(temp_ / "."));
  EXPECT_TRUE(Logged("Can't remove file " + temp_ / "., error "));
}

TEST_F(DefaultFileSystemTest, IoAlignmentIsTheSectorSizeOfTheDeviceHoldingThePath) {
  EXPECT_EQ(CFileSystemService(logger_).Default().GetIoAlignment("\\\\server\\share\\f"), 4096u);
  const uint32_t sectors[][2] = {{520, 520}, {256, 4096}, {100, 102400}, {0, 0}};
  for (const auto& size : sectors) EXPECT_EQ(IoAlignmentForSectorSize(size[0]), size[1]);

  // A device whose sector size is not the 512 bytes the probe falls back to: a loop device of
  // 4096-byte sectors with a file system on it, mounted in a namespace of a child's own.
  const std::string image = temp_ / "disk.img", mounted = temp_ / "mnt";
  ASSERT_EQ(::truncate(temp_.Write("disk.img", "").c_str(), 32 << 20), 0);
  ASSERT_EQ(::mkdir(mounted.c_str(), 0700), 0);
  if (std::system(("mkfs.ext4 -q -b 4096 '" + image + "' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "mkfs.ext4 cannot make a file system here";
  RunInChild([&] {
    CUniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    const int number = control ? ::ioctl(control.Get(), LOOP_CTL_GET_FREE) : -1;
    const std::string device = "/dev/loop" + std::to_string(number);
    CUniqueFd loop(::open(device.c_str(), O_RDWR | O_CLOEXEC));
    CUniqueFd backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
    loop_config config{};
    config.fd = static_cast<uint32_t>(backing.Get());
    config.block_size = 4096;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;  // gone with the last user, the mount
    if (number < 0 || !loop || ::ioctl(loop.Get(), LOOP_CONFIGURE, &config) != 0 ||
        ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(device.c_str(), mounted.c_str(), "ext4", 0, nullptr) != 0)
      GTEST_SKIP() << "cannot mount a loop device here: " << std::strerror(errno);
    CFileSystemService service(logger_);
    EXPECT_EQ(service.Default().GetIoAlignment(mounted + "/"), 4096u);
    // A path not made yet is on the device of its nearest existing folder.
    EXPECT_EQ(service.Default().GetIoAlignment(mounted + "/not/yet/made.png"), 4096u);
    EXPECT_EQ(::umount(mounted.c_str()), 0) << std::strerror(errno);
  });
}

}  // namespace
}  // namespace tessel::test
