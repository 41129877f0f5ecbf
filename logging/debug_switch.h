#pragma once

#include <string_view>

namespace tessel {

// Whether the debug switch "DEBUG_" + component is on for the calling thread. Switches live in a
// per-thread store that nothing in the worker fills, so every lookup answers off; the verbose
// lines they gate stay out of the log unless a build adds a way to set them.
bool DebugSwitchEnabled(std::string_view component);

// One flag, read once when its owner is built.
class CDebugSwitch {
 public:
  explicit CDebugSwitch(std::string_view component) : enabled_(DebugSwitchEnabled(component)) {}
  bool Enabled() const { return enabled_; }

 private:
  bool enabled_;
};

}  // namespace tessel
