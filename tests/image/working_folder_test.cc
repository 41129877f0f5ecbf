#include "image/working_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <filesystem>

#include "image/file_system.h"
#include "image_support.h"

namespace tessel::test {
namespace {

namespace fs = std::filesystem;

TEST(WorkingFolderTest, SessionFolderIsMadeAndRemovedButNothingAboveIt) {
  CImageHost host;
  const std::string expected = host.TempDir() + "/TESSEL/abc";
  {
    CWorkingFolder folder(host.capture.Logger());
    folder.InitializeWorkingFolder("abc");
    EXPECT_EQ(folder.Path(), expected + "/");
    EXPECT_TRUE(folder.RemoveAtExit());
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_TRUE(host.capture.Has("Temporaly path initialized, " + expected + ", 1\r\n"));
  }
  EXPECT_FALSE(fs::exists(expected));
  EXPECT_TRUE(fs::is_directory(host.TempDir() + "/TESSEL"));

  // Identifiers the client could use to reach outside TESSEL/ get the temporary folder, which
  // is never removed.
  for (const std::string id : {"..", "../escape", "a/b", "", "."}) {
    CWorkingFolder folder(host.capture.Logger());
    folder.InitializeWorkingFolder(id);
    EXPECT_EQ(folder.Path(), host.TempDir() + "/") << id;
    EXPECT_FALSE(folder.RemoveAtExit()) << id;
    folder.RemoveWorkingFolder();
    EXPECT_TRUE(fs::is_directory(host.TempDir())) << id;
  }
  EXPECT_FALSE(fs::exists(host.TempDir() + "/escape"));
  EXPECT_FALSE(fs::exists(host.TempDir() + "/TESSEL/a"));
}

TEST(WorkingFolderTest, FolderWithAFileIsLeftAfterTwentyAttempts) {
  CImageHost host;
  const std::string expected = host.TempDir() + "/TESSEL/busy";
  CWorkingFolder folder(host.capture.Logger());
  folder.InitializeWorkingFolder("busy");
  host.Temp().Write("TESSEL/busy/left.txt", "x");
  folder.RemoveWorkingFolder();
  EXPECT_TRUE(fs::exists(expected + "/left.txt"));
  EXPECT_EQ(host.capture.Count("Remove temporaly directory " + expected + "\r\n"), 20u);
  EXPECT_EQ(host.capture.Count("Cannot remove temporaly folder " + expected + "/, 39, "), 1u);
  EXPECT_STREQ(folder.Path(), "");
}

TEST(FileReaderTest, ReadsWholeFilesAndReportsShortReads) {
  CImageHost host;
  CLogger& logger = host.capture.Logger();
  HeapBlock data;
  uint32_t size = 0;
  ASSERT_TRUE(
      ReadWholeFile(host.Temp().Write("f.bin", std::string("a\0b", 3)), data, size, logger));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), size), std::string("a\0b", 3));
  EXPECT_FALSE(ReadWholeFile(host.TempDir() + "/none", data, size, logger));
  EXPECT_EQ(errno, ENOENT);

  CUniqueFd file(::open(host.Temp().Write("short", "0123456789").c_str(), O_RDONLY));
  char buffer[64];
  EXPECT_FALSE(ReadExact(file.Get(), buffer, sizeof buffer, logger));
  EXPECT_TRUE(host.capture.Has("Stream read buffer error, requested "));
  EXPECT_FALSE(host.capture.Has("Zero read"));

  // Above 1 GiB the read goes in chunks; the buffer is reserved, not touched beyond the file.
  const uint32_t huge = 0x40000001;
  void* region = ::mmap(nullptr, huge, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(::lseek(file.Get(), 0, SEEK_SET), 0);
  EXPECT_FALSE(ReadExact(file.Get(), region, huge, logger));
  EXPECT_EQ(std::string(static_cast<char*>(region), 10), "0123456789");
  ::munmap(region, huge);
  EXPECT_TRUE(host.capture.Has("Zero read"));
  EXPECT_TRUE(host.capture.Has("Read buffer, requested "));
  EXPECT_TRUE(host.capture.Has(", read 10, "));
}

TEST(FileSystemServiceTest, DefaultFileSystemAnswersFromTheFileItself) {
  EXPECT_EQ(FileSystemService().FileSystems().at(0)->GetName(), "Default");

  CImageHost host;
  CFileSystemService service(host.capture.Logger());
  ASSERT_EQ(service.FileSystems().size(), 1u);
  EXPECT_TRUE(host.capture.Has("Create File System Service"));
  EXPECT_TRUE(host.capture.Has("Registered file system Default"));

  IFileSystem& files = service.Default();
  const std::string file = host.Temp().Write("f.txt", "12345");
  EXPECT_EQ(files.FileSize(file, 77), 5u);
  EXPECT_EQ(files.FileSize(file + ".none", 77), 77u);
  EXPECT_EQ(files.LastWriteTime(file + ".none"), 0u);
  // Now, in 100-ns units since 1601: after 2020 and before 2200.
  EXPECT_GT(files.LastWriteTime(file), 132223104000000000ull);
  EXPECT_LT(files.LastWriteTime(file), 189000000000000000ull);
  EXPECT_TRUE(files.FileExists(file));
  EXPECT_FALSE(files.FileExists(host.TempDir()));
  EXPECT_TRUE(files.RemoveFile(file));
  EXPECT_TRUE(files.RemoveFile(file));
  EXPECT_FALSE(files.FileExists(file));
  EXPECT_FALSE(files.RemoveFile(host.TempDir()));
  EXPECT_TRUE(host.capture.Has("Can't remove file " + host.TempDir() + ", error "));

  EXPECT_EQ(files.GetIoAlignment("\\\\server\\share\\f"), 4096u);
  EXPECT_GE(files.GetIoAlignment(file), 512u);
  EXPECT_EQ(IoAlignmentForSectorSize(520), 520u);
  EXPECT_EQ(IoAlignmentForSectorSize(256), 4096u);
  EXPECT_EQ(IoAlignmentForSectorSize(100), 102400u);
  EXPECT_EQ(IoAlignmentForSectorSize(0), 0u);
}

}  // namespace
}  // namespace tessel::test
