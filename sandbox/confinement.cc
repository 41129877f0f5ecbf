#include "sandbox/confinement.h"

namespace tessel {

bool ConfinementReport::Complete() const {
  if (mode == ConfinementMode::kOff || layers.empty()) return false;
  for (const ConfinementLayer& layer : layers) {
    if (!layer.inForce) return false;
  }
  return true;
}

const ConfinementLayer* ConfinementReport::Find(const std::string& name) const {
  for (const ConfinementLayer& layer : layers) {
    if (layer.name == name) return &layer;
  }
  return nullptr;
}

std::string ConfinementReport::Describe() const {
  std::string text;
  for (const ConfinementLayer& layer : layers) {
    text.append(layer.name).append(layer.inForce ? ": in force" : ": missing");
    if (!layer.detail.empty()) text.append(": ").append(layer.detail);
    text.append("\n");
  }
  return text;
}

const char* ConfinementModeName(ConfinementMode mode) {
  switch (mode) {
    case ConfinementMode::kRequire:
      return "require";
    case ConfinementMode::kBestEffort:
      return "best-effort";
    case ConfinementMode::kOff:
      return "off";
  }
  return "unknown";
}

}  // namespace tessel
