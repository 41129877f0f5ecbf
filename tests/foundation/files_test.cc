#include "foundation/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "logging/logger.h"
#include "platform/capabilities.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

size_t EntryCount(const std::string& folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (struct dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") ++count;
    }
    ::closedir(dir);
  }
  return count;
}

bool AnyLogFileContains(const std::string& folder, const std::string& text) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (struct dirent* entry = ::readdir(dir)) {
    std::ifstream file(folder + "/" + entry->d_name, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    if (content.str().find(text) != std::string::npos) found = true;
  }
  ::closedir(dir);
  return found;
}

class FilesTest : public testing::Test {
 protected:
  CTempFolder temp_;
};

TEST_F(FilesTest, CreateFolderPathCreatesMissingLevelsOnly) {
  EXPECT_TRUE(CreateFolderPath(temp_.Path() + "/"));
  EXPECT_EQ(EntryCount(temp_.Path()), 0u);

  EXPECT_TRUE(CreateFolderPath(temp_ / "outer/inner/"));
  EXPECT_TRUE(FolderExists(temp_ / "outer/inner"));
  EXPECT_TRUE(CreateFolderPath(temp_ / "outer/inner/"));

  // Text after the last separator is a file name, not a folder; a backslash is part of a name.
  EXPECT_TRUE(CreateFolderPath(temp_ / "a\\b//c/name"));
  EXPECT_TRUE(FolderExists(temp_ / "a\\b/c"));
  EXPECT_FALSE(FolderExists(temp_ / "a"));
  EXPECT_FALSE(FolderExists(temp_ / "a\\b/c/name"));
}

TEST_F(FilesTest, CreateFolderPathFailsOnAFileInTheWay) {
  std::string file = temp_.Write("plain", "x");
  EXPECT_FALSE(CreateFolderPath(file + "/sub/"));
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FolderExists(file));
  EXPECT_FALSE(FileExists(temp_.Path()));
}

TEST_F(FilesTest, DeleteFileForcedCountsAMissingFileAsGone) {
  EXPECT_TRUE(DeleteFileForced(temp_ / "missing"));
  EXPECT_TRUE(DeleteFileForced(temp_ / "no/such/folder/file"));
  std::string plain = temp_.Write("plain", "x");
  EXPECT_TRUE(DeleteFileForced(plain + "/below"));
  EXPECT_TRUE(DeleteFileForced(plain));
  EXPECT_FALSE(FileExists(plain));

  ASSERT_TRUE(CreateFolderPath(temp_ / "folder/"));
  EXPECT_FALSE(DeleteFileForced(temp_ / "folder"));
  EXPECT_TRUE(FolderExists(temp_ / "folder"));
}

// Root passes every permission check, so the child gives up the override first; the read-only
// folder must really refuse a new name before the deletion is tried.
TEST_F(FilesTest, DeleteFileForcedWidensAReadOnlyFolder) {
  std::string folder = temp_ / "locked";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  std::string file = temp_.Write("locked/image.png", "data");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  EXPECT_EXIT(
      {
        if ((PermittedCapabilities() >> CAP_DAC_OVERRIDE) & 1) DropCapability(CAP_DAC_OVERRIDE);
        std::string probe = folder + "/probe";
        int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY, 0600);
        if (fd >= 0 || errno != EACCES) {
          std::fputs("the folder is not read-only for this process\n", stderr);
          std::_Exit(2);
        }
        bool deleted = DeleteFileForced(file);
        struct stat info;
        bool widened = ::stat(folder.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) != 0;
        std::_Exit(deleted && !FileExists(file) && widened ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(FilesTest, OpenFileLoggedLogsAndKeepsTheError) {
  std::string existing = temp_.Write("present", "data");
  CUniqueFd fd = OpenFileLogged(existing, O_RDONLY);
  ASSERT_TRUE(fd.Valid());
  // Descriptors must not leak into programs the worker might start.
  EXPECT_TRUE(::fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);

  std::string missing = temp_ / "absent.svg";
  errno = 0;
  CUniqueFd none = OpenFileLogged(missing, O_RDONLY);
  EXPECT_FALSE(none.Valid());
  EXPECT_EQ(errno, ENOENT);
  if (!CLogger::Instance().Enabled()) GTEST_SKIP() << "process logging is switched off";
  EXPECT_TRUE(AnyLogFileContains(CLogger::Instance().CopyDirectory(),
                                 "Can't open file " + missing + ", 2, No such file or directory"));
}

TEST_F(FilesTest, SectorSizeOfTheNearestExistingFolder) {
  uint32_t size = GetSectorSize(temp_.Path());
  EXPECT_GE(size, 512u);
  EXPECT_EQ(size & (size - 1), 0u);
  EXPECT_EQ(GetSectorSize(temp_ / "not/yet/created.png"), size);
  // A file system without a block device cannot tell.
  EXPECT_EQ(GetSectorSize("/proc/self/status"), 512u);
}

}  // namespace
}  // namespace tessel
