#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/cli/color.h"
#include "client/cli/png_file.h"
#include "client/cli/size_plan.h"
#include "sandbox/confinement.h"

// What the user asked `tessel` for.
namespace tessel::cli {

enum class Command { kNone, kRender, kInfo, kPing, kSandbox, kCheck };

inline constexpr int kExitFailed = 1;  // some INPUT failed, or the command did
inline constexpr int kExitUsage = 2;   // the command line is wrong; nothing was done

// The name that stands for standard input as an INPUT and for standard output after -o.
inline constexpr const char kStandardStream[] = "-";

struct CommandLine {
  Command command = Command::kNone;
  bool help = false;
  bool version = false;
  SizeRequest size;                // --size, --width, --height, --zoom, --keep-aspect-ratio
  std::optional<Rgba> background;  // --background-color
  uint64_t pixelMemory = kDefaultPixelMemory;  // --max-memory
  std::string outFile;                         // -o FILE ("-": standard output)
  std::string outDir;                          // --out-dir DIR
  std::string logDir;                          // --log-dir DIR
  std::string workerPath;                      // --worker PATH
  unsigned jobs = 0;                           // -j N: workers at once; 0: one per core
  // --sandbox MODE, and whether it was given
  ConfinementMode confinement = ConfinementMode::kRequire;
  bool confinementGiven = false;
  // --compression LEVEL
  PngCompression compression = PngCompression::kFast;
  std::string jsonFile;                      // --json FILE (check)
  std::string referenceSuffix = "-ref.png";  // --reference-suffix SUFFIX (check)
  unsigned tolerance = 2;                    // --tolerance N (check): per channel, 0 to 255
  std::vector<std::string> inputs;           // "-": standard input; the folders of check
};

// Parses argv[1..]; on a mistake returns nothing and says what is wrong in `error`.
std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv, std::string& error);

// "WxH" with decimal sides; 0 stands for the natural size on that side.
std::optional<TargetSize> ParseSize(const std::string& text);

// A count of bytes: digits with an optional binary unit, K, M or G (also KiB, MiB, GiB).
std::optional<uint64_t> ParseByteCount(const std::string& text);

// "require", "best-effort" or "off".
std::optional<ConfinementMode> ParseConfinement(const std::string& text);

extern const char kUsage[];

}  // namespace tessel::cli
