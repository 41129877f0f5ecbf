#include "foundation/path.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

TEST(PathParts, FolderAndNameSplitAtEitherSeparatorOrDriveColon) {
  EXPECT_EQ(ExtractFilePath("/tmp/TESSEL/a.png"), "/tmp/TESSEL/");
  EXPECT_EQ(ExtractFilePath("C:\\Images\\a.png"), "C:\\Images\\");
  EXPECT_EQ(ExtractFilePath("dir\\sub/a.png"), "dir\\sub/");
  EXPECT_EQ(ExtractFilePath("D:name"), "D:/");
  EXPECT_EQ(ExtractFilePath("name.png"), "");
  EXPECT_EQ(ExtractFilePath(""), "");

  EXPECT_EQ(ExtractFileName("/tmp/TESSEL/a.png"), "a.png");
  EXPECT_EQ(ExtractFileName("dir/sub\\a.png"), "a.png");
  EXPECT_EQ(ExtractFileName("D:name"), "name");
  EXPECT_EQ(ExtractFileName("name.png"), "name.png");
  EXPECT_EQ(ExtractFileName("/tmp/"), "");
}

TEST(PathParts, ExtensionOnlyFromTheLastComponent) {
  EXPECT_EQ(ExtractFileExt("/img/a.SVG"), ".SVG");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("/img.d/file"), "");
  EXPECT_EQ(ExtractFileExt("C:\\img.d\\file"), "");
  EXPECT_EQ(ExtractFileExt("x.y:file"), "");
  EXPECT_EQ(ExtractFileExt("name."), ".");
  EXPECT_EQ(ExtractFileExt("name"), "");
}

TEST(PathParts, DriveIsAFirstComponentWithAColon) {
  EXPECT_EQ(ExtractFileDrive("C:\\Images\\a.png"), "C:\\");
  EXPECT_EQ(ExtractFileDrive("C:/Images/a.png"), "C:/");
  EXPECT_EQ(ExtractFileDrive("C:"), "");
  EXPECT_EQ(ExtractFileDrive("C:name"), "");
  EXPECT_EQ(ExtractFileDrive("/tmp/C:/a"), "");
  EXPECT_EQ(ExtractFileDrive("dir/a.png"), "");
}

TEST(PathParts, TrailingSeparator) {
  EXPECT_EQ(IncludeTrailingSeparator(""), "");
  EXPECT_EQ(IncludeTrailingSeparator("/tmp"), "/tmp/");
  EXPECT_EQ(IncludeTrailingSeparator("/tmp/"), "/tmp/");
  EXPECT_EQ(IncludeTrailingSeparator("C:\\tmp\\"), "C:\\tmp\\");
  EXPECT_EQ(ExcludeTrailingSeparator("/tmp/"), "/tmp");
  EXPECT_EQ(ExcludeTrailingSeparator("C:\\tmp\\"), "C:\\tmp");
  EXPECT_EQ(ExcludeTrailingSeparator("/tmp"), "/tmp");
  EXPECT_EQ(ExcludeTrailingSeparator(""), "");
  EXPECT_TRUE(IsSeparator('/'));
  EXPECT_TRUE(IsSeparator('\\'));
  EXPECT_FALSE(IsSeparator(':'));
}

TEST(PathParts, LongPathsPassUnchanged) {
  std::string deep = "/" + std::string(300, 'd') + "/file";
  EXPECT_EQ(ToLongPath(deep, 260), deep);
  std::string server = "\\\\server\\share\\" + std::string(300, 's');
  EXPECT_EQ(ToLongPath(server, 260), server);
}

}  // namespace
}  // namespace tessel
