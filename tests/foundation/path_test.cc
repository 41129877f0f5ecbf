#include "foundation/path.h"

#include <gtest/gtest.h>

namespace tessel {

TEST(PathParts, SplitAtEitherSeparatorOrDriveColon) {
  EXPECT_EQ(ExtractFilePath("/tmp/TESSEL/a.png"), "/tmp/TESSEL/");
  EXPECT_EQ(ExtractFilePath("dir\\sub/a.png"), "dir\\sub/");
  EXPECT_EQ(ExtractFilePath("D:name"), "D:/");
  EXPECT_EQ(ExtractFilePath("name.png"), "");
  EXPECT_EQ(ExtractFileName("dir/sub\\a.png"), "a.png");
  EXPECT_EQ(ExtractFileName("D:name"), "name");
  EXPECT_EQ(ExtractFileName("/tmp/"), "");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("/img.d/file"), "");
  EXPECT_EQ(ExtractFileExt("C:\\img.d\\file"), "");
  EXPECT_EQ(ExtractFileExt("x.y:file"), "");
  EXPECT_EQ(ExtractFileExt("name."), ".");
  EXPECT_EQ(ExtractFileDrive("C:\\Images\\a.png"), "C:\\");
  EXPECT_EQ(ExtractFileDrive("C:"), "");
  EXPECT_EQ(ExtractFileDrive("C:name"), "");
  EXPECT_EQ(ExtractFileDrive("/tmp/C:/a"), "");
  EXPECT_EQ(IncludeTrailingSeparator(""), "");
  EXPECT_EQ(IncludeTrailingSeparator("/tmp"), "/tmp/");
  EXPECT_EQ(ExcludeTrailingSeparator("/tmp/"), "/tmp");
  EXPECT_EQ(ExcludeTrailingSeparator("C:\\tmp\\"), "C:\\tmp");
  EXPECT_EQ(ExcludeTrailingSeparator(""), "");
}

}  // namespace tessel
