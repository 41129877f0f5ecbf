#include "privileges/privileges.h"

#include <linux/capability.h>
#include <strings.h>

#include <map>
#include <mutex>
#include <string>

#include "logging/logger.h"
#include "platform/capabilities.h"

namespace tessel {
namespace {

struct PrivilegeMapping {
  const char* name;
  int capability;
};

constexpr PrivilegeMapping kPrivileges[] = {
    {"SeChangeNotifyPrivilege", CAP_DAC_READ_SEARCH},
    {"SeManageVolumePrivilege", CAP_SYS_ADMIN},
    {"SeLockMemoryPrivilege", CAP_IPC_LOCK},
};

struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

// Outcomes of EnablePrivilegeOnce. The lock makes the first attempt, its log line and the
// insertion one step, so each name is tried and logged once per process.
class CPrivilegeCache {
 public:
  CPrivilegeCache() {
    // Asked for once at start-up; nothing later looks at the outcome.
    Enable("SeManageVolumePrivilege");
  }

  bool Enable(std::string_view name) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string key(name);
    auto found = outcomes_.find(key);
    if (found != outcomes_.end()) return found->second;
    const bool enabled = EnablePrivilege(name);
    outcomes_.emplace(key, enabled);
    if (enabled) {
      CLogger::Instance().Log(Debug, "The privilege %s has been enabled",
                              {LogArg::String(key.c_str())});
    } else {
      CLogger::Instance().Log(Error, "Privilege %s cannot be enabled",
                              {LogArg::String(key.c_str())});
    }
    return enabled;
  }

 private:
  std::mutex lock_;
  std::map<std::string, bool, CaseInsensitiveLess> outcomes_;
};

// Right after the process logger (priority 102), which it logs through.
CPrivilegeCache g_privilegeCache __attribute__((init_priority(103)));

}  // namespace

int PrivilegeCapability(std::string_view name) {
  for (const PrivilegeMapping& privilege : kPrivileges) {
    const std::string_view known(privilege.name);
    if (known.size() == name.size() && ::strncasecmp(known.data(), name.data(), name.size()) == 0)
      return privilege.capability;
  }
  return -1;
}

bool EnablePrivilege(std::string_view name) {
  const int capability = PrivilegeCapability(name);
  return capability >= 0 && RaiseCapability(capability);
}

bool EnablePrivilegeOnce(std::string_view name) {
  return g_privilegeCache.Enable(name);
}

void PrivilegeSelfTest() {
  if (EnablePrivilege("SeChangeNotifyPrivilege")) {
    CLogger::Instance().Log(Error, "Privilege test failed");
  } else {
    CLogger::Instance().Log(Debug, "Privilege test OK");
  }
}

}  // namespace tessel
