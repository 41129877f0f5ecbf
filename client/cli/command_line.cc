#include "client/cli/command_line.h"

#include <charconv>
#include <string_view>

namespace tessel::cli {

const char kUsage[] =
    "Usage:\n"
    "  tessel render [--size WxH] [-o FILE | --out-dir DIR] [--sandbox MODE] INPUT...\n"
    "  tessel info [--sandbox MODE] INPUT...\n"
    "  tessel ping [--sandbox MODE]\n"
    "  tessel sandbox\n"
    "\n"
    "Decodes PNG and renders SVG images in a separate worker process and writes PNG files.\n"
    "\n"
    "Commands:\n"
    "  render     write each INPUT as a PNG file (straight-alpha RGBA) named after it\n"
    "  info       print each INPUT's kind and natural size\n"
    "  ping       start a worker, ping it, stop it, and print the round trip\n"
    "  sandbox    start a worker as best it can be confined here, and print each layer of\n"
    "             its confinement and the worker's own report on itself\n"
    "\n"
    "Options:\n"
    "  --size WxH      render SVG images at W x H pixels; 0 on a side keeps the natural size\n"
    "                  on that side (PNG images keep their own size)\n"
    "  -o FILE         the output file, for a single INPUT\n"
    "  --out-dir DIR   the folder for the output files (made when missing; default: .)\n"
    "  --log-dir DIR   keep the worker's log files in DIR (default: a temporary folder,\n"
    "                  removed at the end)\n"
    "  --sandbox MODE  how the worker is confined: require (default) refuses to start it\n"
    "                  when a layer of its confinement is missing here; best-effort starts\n"
    "                  it with the layers this system offers; off starts it unconfined,\n"
    "                  with your rights\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n"
    "\n"
    "Exit status: 0 when every INPUT succeeded (for sandbox: when every layer is in force\n"
    "and the worker reports itself confined), 1 otherwise, 2 for a usage mistake.\n";

std::optional<TargetSize> ParseSize(const std::string& text) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return std::nullopt;
  auto side = [](std::string_view digits, uint32_t& value) {
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    return !digits.empty() && error == std::errc() && stop == end;
  };
  TargetSize size;
  const std::string_view all(text);
  if (!side(all.substr(0, x), size.width) || !side(all.substr(x + 1), size.height))
    return std::nullopt;
  return size;
}

std::optional<ConfinementMode> ParseConfinement(const std::string& text) {
  for (ConfinementMode mode :
       {ConfinementMode::kRequire, ConfinementMode::kBestEffort, ConfinementMode::kOff}) {
    if (text == ConfinementModeName(mode)) return mode;
  }
  return std::nullopt;
}

std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv,
                                            std::string& error) {
  CommandLine line;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      words.push_back(std::move(arg));
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    // Options with a value, as "--name VALUE" or "--name=VALUE".
    std::string name = arg;
    std::optional<std::string> value;
    if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    if (name != "--size" && name != "-o" && name != "--out-dir" && name != "--log-dir" &&
        name != "--sandbox") {
      error = "unknown option " + arg;
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (value->empty()) {
      error = name + " needs a value";
      return std::nullopt;
    }
    if (name == "--size") {
      const std::optional<TargetSize> size = ParseSize(*value);
      if (!size) {
        error = "--size takes WxH, two whole numbers such as 640x480 (0 = natural), not " + *value;
        return std::nullopt;
      }
      line.size = *size;
    } else if (name == "--sandbox") {
      const std::optional<ConfinementMode> mode = ParseConfinement(*value);
      if (!mode) {
        error = "--sandbox takes require, best-effort or off, not " + *value;
        return std::nullopt;
      }
      line.confinement = *mode;
      line.confinementGiven = true;
    } else if (name == "-o") {
      line.outFile = *value;
    } else if (name == "--out-dir") {
      line.outDir = *value;
    } else {
      line.logDir = *value;
    }
  }
  if (line.help || line.version) return line;

  if (words.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  const std::string& command = words.front();
  if (command == "render") {
    line.command = Command::kRender;
  } else if (command == "info") {
    line.command = Command::kInfo;
  } else if (command == "ping") {
    line.command = Command::kPing;
  } else if (command == "sandbox") {
    line.command = Command::kSandbox;
  } else {
    error = "unknown command " + command;
    return std::nullopt;
  }
  line.inputs.assign(words.begin() + 1, words.end());

  const bool takesInputs = line.command == Command::kRender || line.command == Command::kInfo;
  if (!takesInputs && !line.inputs.empty()) {
    error = command + " takes no inputs";
    return std::nullopt;
  }
  if (takesInputs && line.inputs.empty()) {
    error = command + " needs at least one INPUT";
    return std::nullopt;
  }
  const bool renderOptions = !line.outFile.empty() || !line.outDir.empty() ||
                             line.size.width != 0 || line.size.height != 0;
  if (line.command != Command::kRender && renderOptions) {
    error = "--size, -o and --out-dir belong to render";
    return std::nullopt;
  }
  if (line.command == Command::kSandbox && line.confinementGiven) {
    error =
        "sandbox always asks for best-effort, to show what is missing; --sandbox does not "
        "apply to it";
    return std::nullopt;
  }
  if (!line.outFile.empty() && !line.outDir.empty()) {
    error = "give either -o or --out-dir, not both";
    return std::nullopt;
  }
  if (!line.outFile.empty() && line.inputs.size() != 1) {
    error = "-o names one output file, so it takes exactly one INPUT; use --out-dir for more";
    return std::nullopt;
  }
  return line;
}

}  // namespace tessel::cli
