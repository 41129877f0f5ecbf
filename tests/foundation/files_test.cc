#include "foundation/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>

#include <cerrno>

#include "logging/logged_files.h"
#include "logging/logger.h"
#include "platform/capabilities.h"
#include "tests/support/forked_child.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

namespace tessel {

TEST(Files, CreateFolderPathCreatesTheFoldersBeforeTheName) {
  CTempFolder temp;
  // Text after the last separator is a file name; a backslash is part of a name.
  EXPECT_TRUE(CreateFolderPath(temp / "a\\b//c/name"));
  EXPECT_TRUE(CreateFolderPath(temp / "a\\b//c/name"));  // and what exists is fine
  EXPECT_TRUE(FolderExists(temp / "a\\b/c"));
  EXPECT_FALSE(FolderExists(temp / "a"));
  EXPECT_FALSE(FolderExists(temp / "a\\b/c/name"));

  EXPECT_FALSE(CreateFolderPath(temp.Write("plain", "x") + "/sub/"));  // a file in the way
}

// Root passes every permission check, so the child gives up the override for the read-only folder.
TEST(Files, DeleteFileForcedCases) {
  CTempFolder temp;
  EXPECT_TRUE(DeleteFileForced(temp / "no/such/folder/file"));
  std::string plain = temp.Write("plain", "x"), folder = temp / "locked/";
  EXPECT_TRUE(DeleteFileForced(plain + "/below"));
  EXPECT_TRUE(DeleteFileForced(plain));
  EXPECT_FALSE(FileExists(plain));
  ASSERT_TRUE(CreateFolderPath(folder));
  EXPECT_FALSE(DeleteFileForced(temp / "locked"));
  EXPECT_TRUE(FolderExists(folder));

  std::string file = temp.Write("locked/image.png", "data");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  test::RunInChild([&] {
    LowerCapability(CAP_DAC_OVERRIDE);
    ASSERT_LT(::open((folder + "probe").c_str(), O_CREAT | O_WRONLY, 0600), 0)
        << "the folder is writable all the same";
    EXPECT_TRUE(DeleteFileForced(file));
    EXPECT_FALSE(FileExists(file));
    struct stat info;
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IWUSR, 0u) << "the folder was not widened";
  });
}

TEST(Files, OpenFileLoggedLogsTheFailureAndKeepsTheError) {
  CTempFolder temp;
  CUniqueFd fd = OpenFileLogged(temp.Write("present", "data"), O_RDONLY);
  ASSERT_TRUE(fd.Valid());
  EXPECT_TRUE(::fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);  // nothing leaks into started programs
  std::string missing = temp / "absent.svg";
  errno = 0;
  EXPECT_FALSE(OpenFileLogged(missing, O_RDONLY).Valid());
  EXPECT_EQ(errno, ENOENT);
  if (!CLogger::Instance().Enabled()) GTEST_SKIP() << "process logging is switched off";
  const std::string logs = test::ReadLogs(CLogger::Instance().CopyDirectory());
  EXPECT_NE(logs.find("Can't open file " + missing + ", 2, No such file or directory"),
            std::string::npos);
}

}  // namespace tessel
