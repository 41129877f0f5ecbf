#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a confined worker may do, and what the kernel enforced of it. The confinement is applied
// by the starting process between fork and exec; the worker never lowers itself.
namespace tessel {

enum class ConfinementMode {
  kRequire,     // refuse to start when any layer cannot be applied
  kBestEffort,  // start with what the kernel offers and report what is missing
  kOff,         // start the worker with the rights of the caller
};

// One layer of the confinement and whether it is in force for a started worker.
struct ConfinementLayer {
  std::string name;  // "no_new_privs", "capabilities", "environment", "resource limits",
                     // "Landlock", "seccomp"
  bool inForce = false;
  std::string detail;  // what it grants or refuses, or why it is missing, in plain words
};

struct ConfinementReport {
  ConfinementMode mode = ConfinementMode::kOff;
  std::vector<ConfinementLayer> layers;

  // True when every layer is in force (never for kOff).
  bool Complete() const;
  // The layer of that name, or null.
  const ConfinementLayer* Find(const std::string& name) const;
  // One line a layer: "name: in force|missing: detail".
  std::string Describe() const;
};

const char* ConfinementModeName(ConfinementMode mode);

}  // namespace tessel
