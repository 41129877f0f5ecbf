#pragma once

#include <string_view>

// Privileges are capabilities on Linux: enabling one raises its capability into the effective
// set, which works only while the capability is permitted.
namespace tessel {

// The capability that stands for a privilege name (letter case ignored); -1 for a name that
// has none.
int PrivilegeCapability(std::string_view name);

// True when the privilege is enabled now. Writes no log line.
bool EnablePrivilege(std::string_view name);

// The outcome of the first EnablePrivilege for `name` (letter case ignored) in this process,
// logged once; later calls only look it up.
bool EnablePrivilegeOnce(std::string_view name);

// Tries to enable SeChangeNotifyPrivilege and logs "Privilege test OK" when that is refused, as
// it is for a confined worker.
void PrivilegeSelfTest();

}  // namespace tessel
