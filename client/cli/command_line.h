#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/image_client.h"
#include "sandbox/confinement.h"

// What the user asked `tessel` for.
namespace tessel::cli {

enum class Command { kNone, kRender, kInfo, kPing, kSandbox };

struct CommandLine {
  Command command = Command::kNone;
  bool help = false;
  bool version = false;
  TargetSize size;          // --size WxH
  std::string outFile;      // -o FILE
  std::string outDir;       // --out-dir DIR
  std::string logDir;       // --log-dir DIR
  // --sandbox MODE, and whether it was given
  ConfinementMode confinement = ConfinementMode::kRequire;
  bool confinementGiven = false;
  std::vector<std::string> inputs;
};

// Parses argv[1..]; on a mistake returns nothing and says what is wrong in `error`.
std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv, std::string& error);

// "WxH" with decimal sides; 0 stands for the natural size on that side.
std::optional<TargetSize> ParseSize(const std::string& text);

// "require", "best-effort" or "off".
std::optional<ConfinementMode> ParseConfinement(const std::string& text);

extern const char kUsage[];

}  // namespace tessel::cli
