#include "security/object_security.h"

#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tessel {
namespace {

constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kNetworkRid = 2;
constexpr uint32_t kNetworkServiceRid = 20;

// Text form of a well-known SID: "S-1-<authority>-<sub>-...".
std::string SidText(uint64_t authority, std::initializer_list<uint32_t> subAuthorities) {
  std::string text = "S-1-" + std::to_string(authority);
  for (uint32_t sub : subAuthorities) text.append("-").append(std::to_string(sub));
  return text;
}

}  // namespace

std::string BuildSddl(const std::string& logonSid, LabelPolicy policy) {
  std::string sddl = "D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)";
  sddl.append("(D;OICI;GA;;;").append(SidText(kNtAuthority, {kNetworkServiceRid})).append(")");
  sddl.append("(D;OICI;GA;;;").append(SidText(kNtAuthority, {kNetworkRid})).append(")");
  sddl.append("(A;OICI;GA;;;").append(logonSid).append(")");
  sddl.append(policy == LabelPolicy::NoWriteUp ? "S:(ML;;NW;;;" : "S:(ML;;NX;;;");
  sddl.append("S-1-16-4096").append(")");
  return sddl;
}

// The user and the session of the process stand in for the logon session of a token: both are
// fixed for the process, and the session id separates the logons of one user.
std::string GetLogonSidString(CErrorBox& errorBox) {
  pid_t session = getsid(0);
  if (session < 0) {
    errorBox.Report("Cannot get login SID", nullptr, 0);
    return {};
  }
  return SidText(kNtAuthority,
                 {5, static_cast<uint32_t>(geteuid()), static_cast<uint32_t>(session)});
}

// The descriptor grants everything to the logon session of this user and denies the rest, which
// for an object this process creates is owner-only access; its label has no counterpart. So the
// translation cannot fail, and nothing here reports "Cannot initialize security".
CObjectSecurity::CObjectSecurity(LabelPolicy policy) : policy_(policy) {
  std::string logonSid = GetLogonSidString(errorBox_);
  if (logonSid.empty()) return;
  sddl_ = BuildSddl(logonSid, policy_);
  attributes_ = SecurityAttributes{0600, true};
  built_ = true;
}

bool IsSandboxed() {
  return true;
}

}  // namespace tessel
