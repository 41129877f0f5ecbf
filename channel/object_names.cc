#include "channel/object_names.h"

#include "channel/control_block.h"

namespace tessel {

std::string ObjectName(std::string_view suffix, std::string_view sessionId) {
  std::string name(kServiceName);
  name.append(suffix).append(sessionId);
  return name;
}

}  // namespace tessel
