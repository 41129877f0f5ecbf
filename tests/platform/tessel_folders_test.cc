#include "platform/tessel_folders.h"

#include <sys/stat.h>

#include <filesystem>

#include "tests/platform/shared_objects.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

mode_t Mode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(TesselFolders, ThePrivateFolderOrTheOneWithTheUserIdAndNeverTheTemporaryFolder) {
  CTempFolder temp;
  const std::string own = "TESSEL-" + std::to_string(::geteuid());
  {
    temp.UseAsUntoldTmpdir("gone/deeper");
    const TesselFolder none = DefaultLogFolder();
    EXPECT_EQ(none.path, "");
    EXPECT_EQ(none.problem, "the temporary folder " + temp / "gone/deeper/" +
                                " (TMPDIR) does not exist, and Tessel does not make it");
    EXPECT_FALSE(std::filesystem::exists(temp / "gone"));
  }
  temp.UseAsUntoldTmpdir();
  const mode_t umask = ::umask(0);  // the folders are closed to others whatever the umask says
  EXPECT_EQ(DefaultLogFolder().path, temp / "TESSEL/LOG/");
  ::umask(umask);
  EXPECT_TRUE(Mode(temp / "TESSEL") == 0700 && Mode(temp / "TESSEL/LOG") == 0700);
  EXPECT_EQ(ChooseTesselFolder().path, temp / "TESSEL/");

  // A TESSEL folder that others may write is passed over, and standard error says so once.
  ASSERT_EQ(::chmod((temp / "TESSEL").c_str(), 0777), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DefaultLogFolder().path, temp / own + "/LOG/");
  EXPECT_EQ(ChooseTesselFolder("abc").path, temp / own + "/abc/");
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_EQ(told, "Tessel\n" + temp / "TESSEL/ may be written by other users (mode 0777), so " +
                      "Tessel uses " + temp / own + "/LOG/ instead\n");
  EXPECT_TRUE(Mode(temp / own) == 0700 && Mode(temp / own + "/abc") == 0700);

  // Links are never followed, not even to a folder of ours; nor is a folder below taken.
  std::string why;
  ASSERT_EQ(::chmod((temp / "TESSEL").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((temp / own).c_str(), (temp / "TESSEL/LOG2").c_str()), 0);
  EXPECT_TRUE(IsPrivateFolder(temp / "TESSEL/", &why)) << why;
  EXPECT_FALSE(IsPrivateFolder(temp / "TESSEL/LOG2/", &why));
  EXPECT_EQ(why, temp / "TESSEL/LOG2/ is a symbolic link");
  EXPECT_EQ(ChooseTesselFolder("LOG2").path, temp / own + "/LOG2/");
  ASSERT_EQ(::rename((temp / "TESSEL").c_str(), (temp / "moved").c_str()), 0);
  ASSERT_EQ(::symlink((temp / "moved").c_str(), (temp / "TESSEL").c_str()), 0);
  EXPECT_EQ(ChooseTesselFolder().path, temp / own + "/");

  // A folder of another user, in the first place and in the second: none is had.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((temp / own).c_str(), 65534, 65534), 0);
    EXPECT_FALSE(MakePrivateFolder(temp / own, &why));
    EXPECT_EQ(why, temp / own + "/ belongs to user 65534, not to 0");
    const TesselFolder none = ChooseTesselFolder();
    EXPECT_EQ(none.path, "");
    EXPECT_EQ(none.problem, temp / "TESSEL/ is a symbolic link; " + temp / own +
                                "/ belongs to user 65534, not to 0");
  }
  EXPECT_FALSE(MakePrivateFolder(temp.Write("file", "x"), &why));
  EXPECT_EQ(why, temp / "file/ is not a folder");
}

}  // namespace
}  // namespace tessel
