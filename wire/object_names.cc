#include "wire/object_names.h"

#include "wire/control_block.h"

namespace tessel {

std::string ObjectName(std::string_view suffix, std::string_view sessionId) {
  std::string name;
  name.reserve(64);
  name.append(kServiceName).append(suffix).append(sessionId);
  return name;
}

std::vector<std::string> SessionObjectNames(std::string_view sessionId) {
  std::vector<std::string> names;
  for (const char* suffix :
       {kMainMappingSuffix, kExtendedRegionSuffix, kServerEventSuffix, kClientEventSuffix}) {
    names.push_back(ObjectName(suffix, sessionId));
  }
  return names;
}

}  // namespace tessel
