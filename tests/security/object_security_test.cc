#include "security/object_security.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <string>

#include "platform/named_mutex.h"
#include "platform/unique_fd.h"
#include "security/error_box.h"

namespace tessel {
namespace {

// Everything written to standard error while `body` runs.
std::string CaptureStderr(const std::function<void()>& body) {
  CUniqueFd capture(memfd_create("stderr", MFD_CLOEXEC));
  CUniqueFd saved(dup(STDERR_FILENO));
  if (!capture || !saved) return "<capture failed>";
  std::fflush(stderr);
  dup2(capture.Get(), STDERR_FILENO);
  body();
  std::fflush(stderr);
  dup2(saved.Get(), STDERR_FILENO);
  std::string text;
  char chunk[4096];
  off_t at = 0;
  for (ssize_t n; (n = pread(capture.Get(), chunk, sizeof(chunk), at)) > 0; at += n)
    text.append(chunk, n);
  return text;
}

std::string Caption() {
  return "Error , PID " + std::to_string(getpid());
}

TEST(ObjectSecurityTest, SddlOfBothPoliciesDiffersOnlyInThePolicyLetters) {
  const std::string sid = "S-1-5-5-1000-4242";
  const std::string noWriteUp = BuildSddl(sid, LabelPolicy::NoWriteUp);
  const std::string noExecuteUp = BuildSddl(sid, LabelPolicy::NoExecuteUp);
  EXPECT_EQ(noWriteUp,
            "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(D;OICI;GA;;;S-1-5-20)(D;OICI;GA;;;S-1-5-2)"
            "(A;OICI;GA;;;S-1-5-5-1000-4242)S:(ML;;NW;;;S-1-16-4096)");
  EXPECT_EQ(noExecuteUp,
            "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(D;OICI;GA;;;S-1-5-20)(D;OICI;GA;;;S-1-5-2)"
            "(A;OICI;GA;;;S-1-5-5-1000-4242)S:(ML;;NX;;;S-1-16-4096)");

  ASSERT_EQ(noWriteUp.size(), noExecuteUp.size());
  std::string differing;
  for (size_t i = 0; i < noWriteUp.size(); ++i) {
    if (noWriteUp[i] != noExecuteUp[i]) differing += std::string{noWriteUp[i], noExecuteUp[i]};
  }
  EXPECT_EQ(differing, "WX");
}

TEST(ObjectSecurityTest, LogonSidNamesTheUserAndTheSession) {
  CErrorBox box;
  std::string sid;
  EXPECT_EQ(CaptureStderr([&] { sid = GetLogonSidString(box); }), "");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(sid, parts, std::regex(R"(S-1-5-5-(\d+)-(\d+))"))) << sid;
  EXPECT_EQ(parts[1], std::to_string(geteuid()));
  EXPECT_EQ(parts[2], std::to_string(getsid(0)));

  // Another session of the same user is another logon SID.
  pid_t child = fork();
  if (child == 0) {
    CErrorBox childBox;
    pid_t session = setsid();
    std::string expected = "S-1-5-5-" + std::to_string(geteuid()) + "-" + std::to_string(session);
    _exit(session > 0 && GetLogonSidString(childBox) == expected && expected != sid ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ObjectSecurityTest, AttributesAreOwnerOnlyInheritableAndCarryTheSddl) {
  for (LabelPolicy policy : {LabelPolicy::NoWriteUp, LabelPolicy::NoExecuteUp}) {
    std::string shown = CaptureStderr([&] {
      CObjectSecurity security(policy);
      EXPECT_EQ(security.Policy(), policy);
      const SecurityAttributes* attributes = security.Attributes();
      ASSERT_NE(attributes, nullptr);
      EXPECT_EQ(attributes->mode, 0600u);
      EXPECT_TRUE(attributes->inherit);
      CErrorBox box;
      EXPECT_EQ(security.Sddl(), BuildSddl(GetLogonSidString(box), policy));
    });
    EXPECT_EQ(shown, "");  // success shows no box
  }

  // What the logger does with them: its mutex is closed to everyone but the owner.
  CObjectSecurity security(LabelPolicy::NoWriteUp);
  ASSERT_NE(security.Attributes(), nullptr);
  const std::string name = "tessel-test-security-" + std::to_string(getpid());
  CNamedMutex mutex;
  ASSERT_TRUE(mutex.Create(name, security.Attributes()->mode)) << errno;
  struct stat st;
  EXPECT_EQ(stat(("/dev/shm/" + name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(CNamedMutex::Remove(name));
}

TEST(ObjectSecurityTest, ErrorBoxShowsCaptionAndFormattedText) {
  CErrorBox box;
  LogArg args[] = {LogArg::String("D:(A;;GA;;;S-1-5-5-1-2)"),
                   LogArg::String("13, Permission denied")};
  EXPECT_EQ(
      CaptureStderr([&] { box.Report("Cannot initialize security %s, %s", args, 2); }),
      Caption() + "\nCannot initialize security D:(A;;GA;;;S-1-5-5-1-2), 13, Permission denied\n");

  // A text longer than the box's own buffer, then a short one again in the reused buffer.
  const std::string longText(3000, 'x');
  LogArg longArg[] = {LogArg::String(longText.c_str())};
  EXPECT_EQ(CaptureStderr([&] { box.Report("<%s>", longArg, 1); }),
            Caption() + "\n<" + longText + ">\n");
  EXPECT_EQ(CaptureStderr([&] { box.Report("Cannot get login SID", nullptr, 0); }),
            Caption() + "\nCannot get login SID\n");
}

}  // namespace
}  // namespace tessel
