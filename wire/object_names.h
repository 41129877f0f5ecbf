#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// The name of one of a session's shared objects: "TESSEL_SERVICE" + suffix + session
// identifier, with nothing in between. The wire carries these narrow names; the platform layer
// puts the "/" of the shared-memory namespace in front.
std::string ObjectName(std::string_view suffix, std::string_view sessionId);

// The four shared objects of a session: main mapping, extended region, server and client events.
std::vector<std::string> SessionObjectNames(std::string_view sessionId);

}  // namespace tessel
