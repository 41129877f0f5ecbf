#pragma once

#include <sys/types.h>

#include <string>

#include "logformat/error_box.h"

namespace tessel {

// Mandatory-label policy of a security descriptor: no write up, or no execute up.
enum class LabelPolicy { NoWriteUp, NoExecuteUp };

// What a creation call takes from a CObjectSecurity.
struct SecurityAttributes {
  mode_t mode;   // permission bits for the new object: owner read and write only
  bool inherit;  // handles created with these attributes are inheritable
};

// The security that named objects created by the worker get. The descriptor text is kept
// exactly as the other side of a mixed deployment expects it; on Linux what it means ("only the
// logon session of this user") becomes the creation mode 0600 of the shared-memory object.
class CObjectSecurity {
 public:
  // Never fails outward: a failure is reported through the object's error box and leaves
  // Attributes() null, so creators fall back to default security.
  explicit CObjectSecurity(LabelPolicy policy);

  // Null until a descriptor has been built.
  const SecurityAttributes* Attributes() const { return built_ ? &attributes_ : nullptr; }
  const std::string& Sddl() const { return sddl_; }
  LabelPolicy Policy() const { return policy_; }

 private:
  LabelPolicy policy_;
  std::string sddl_;
  SecurityAttributes attributes_{};
  CErrorBox errorBox_;
  bool built_ = false;
};

// Builds the descriptor text for a logon SID and a policy.
std::string BuildSddl(const std::string& logonSid, LabelPolicy policy);

// "S-1-5-5-" + uid + "-" + session id of the process; empty after a failure that it has shown
// in `errorBox`.
std::string GetLogonSidString(CErrorBox& errorBox);

// The worker is always the confined side.
bool IsSandboxed();

}  // namespace tessel
