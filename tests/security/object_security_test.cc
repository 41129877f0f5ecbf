#include "security/object_security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "logformat/error_box.h"
#include "platform/named_mutex.h"
#include "tests/support/forked_child.h"

namespace tessel {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(ObjectSecurityTest, SddlOfBothPolicies) {
  EXPECT_EQ(BuildSddl("S-1-5-5-1000-4242", LabelPolicy::NoWriteUp),
            "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(D;OICI;GA;;;S-1-5-20)(D;OICI;GA;;;S-1-5-2)"
            "(A;OICI;GA;;;S-1-5-5-1000-4242)S:(ML;;NW;;;S-1-16-4096)");
  EXPECT_EQ(BuildSddl("S-1-5-5-1000-4242", LabelPolicy::NoExecuteUp),
            "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(D;OICI;GA;;;S-1-5-20)(D;OICI;GA;;;S-1-5-2)"
            "(A;OICI;GA;;;S-1-5-5-1000-4242)S:(ML;;NX;;;S-1-16-4096)");
}

TEST(ObjectSecurityTest, LogonSidNamesTheUserAndTheSession) {
  CErrorBox box;
  CaptureStderr();
  const std::string sid = GetLogonSidString(box);
  EXPECT_EQ(GetCapturedStderr(), "");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(sid, parts, std::regex(R"(S-1-5-5-(\d+)-(\d+))"))) << sid;
  EXPECT_EQ(parts[1], std::to_string(geteuid()));
  EXPECT_EQ(parts[2], std::to_string(getsid(0)));

  // Another session of the same user is another logon SID.
  test::RunInChild([&] {
    const pid_t session = ::setsid();
    ASSERT_GT(session, 0) << errno;
    const std::string other = GetLogonSidString(box);
    EXPECT_EQ(other, "S-1-5-5-" + std::to_string(geteuid()) + "-" + std::to_string(session));
    EXPECT_NE(other, sid);
  });
}

// What the descriptor means here: an object created with the attributes, as the logger creates
// its mutex, is its creator's alone whatever the umask, and another user cannot open it.
TEST(ObjectSecurityTest, ObjectsCreatedWithTheAttributesAreTheOwnersAlone) {
  const std::string name = "tessel-test-security-" + std::to_string(::getpid());
  for (LabelPolicy policy : {LabelPolicy::NoWriteUp, LabelPolicy::NoExecuteUp}) {
    CaptureStderr();
    CObjectSecurity security(policy);
    EXPECT_EQ(GetCapturedStderr(), "");  // success shows no box
    ASSERT_NE(security.Attributes(), nullptr);
    EXPECT_TRUE(security.Attributes()->inherit);
    const mode_t umask = ::umask(0);
    CNamedMutex mutex;
    const bool created = mutex.Create(name, security.Attributes()->mode);
    ::umask(umask);
    ASSERT_TRUE(created) << errno;
    struct stat info;
    EXPECT_EQ(::stat(("/dev/shm/" + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    if (::geteuid() == 0) {
      test::RunInChild([&] {
        ASSERT_EQ(::setresgid(65534, 65534, 65534), 0);
        ASSERT_EQ(::setresuid(65534, 65534, 65534), 0);
        EXPECT_FALSE(CNamedMutex().Open(name));
        EXPECT_EQ(errno, EACCES);
      });
    }
    CNamedMutex::Remove(name);
  }
}

TEST(ObjectSecurityTest, ErrorBoxShowsCaptionAndFormattedText) {
  const std::string caption = "Error , PID " + std::to_string(getpid()) + "\n";
  CErrorBox box;
  LogArg args[] = {LogArg::String("D:(A;;GA;;;S-1-5-5-1-2)"),
                   LogArg::String("13, Permission denied")};
  CaptureStderr();
  box.Report("Cannot initialize security %s, %s", args, 2);
  EXPECT_EQ(
      GetCapturedStderr(),
      caption + "Cannot initialize security D:(A;;GA;;;S-1-5-5-1-2), 13, Permission denied\n");
  // A text longer than the box's own buffer, then a short one again in the reused buffer.
  const std::string longText(3000, 'x');
  LogArg longArg[] = {LogArg::String(longText.c_str())};
  CaptureStderr();
  box.Report("<%s>", longArg, 1);
  box.Report("Cannot get login SID", nullptr, 0);
  EXPECT_EQ(GetCapturedStderr(),
            caption + "<" + longText + ">\n" + caption + "Cannot get login SID\n");
}

}  // namespace tessel
