#include "platform/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/message_box.h"

namespace tessel {
namespace {

TEST(Process, ExecutableAndItsFolder) {
  std::string path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_platform_process");
  std::string folder = ExecutableFolder();
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(path.rfind(folder, 0), 0u);
  EXPECT_EQ(path.find('/', folder.size()), std::string::npos);
}

TEST(Process, TempFolderFromTmpdirWithTrailingSlash) {
  const char* old = std::getenv("TMPDIR");
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(TempFolder(), "/var/tmp/x/");
  ::setenv("TMPDIR", "/var/tmp/x/", 1);
  EXPECT_EQ(TempFolder(), "/var/tmp/x/");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(TempFolder(), "/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), "/tmp/");
  if (saved) ::setenv("TMPDIR", saved->c_str(), 1);
}

TEST(MessageBox, CaptionAndTextAsTwoLinesOnStandardError) {
  testing::internal::CaptureStderr();
  errno = EINVAL;
  ShowMessageBox("Fatal error", "Memory allocation error");
  EXPECT_EQ(errno, EINVAL);
  ShowMessageBox("", "Can't allocate memory");
  std::string longText(10000, 't');
  ShowMessageBox("Error , PID 1", longText);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fatal error\nMemory allocation error\n\nCan't allocate memory\nError , PID 1\n" +
                longText + "\n");
}

}  // namespace
}  // namespace tessel
