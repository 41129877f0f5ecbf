#include "client/cli/command_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tessel::cli {

const char kUsage[] =
    "Usage:\n"
    "  tessel render [SIZE OPTIONS] [-b COLOR] [--max-memory SIZE] [-j N]\n"
    "                [-o FILE | --out-dir DIR] [--compression LEVEL]\n"
    "                [--sandbox MODE] INPUT...\n"
    "  tessel info [--sandbox MODE] INPUT...\n"
    "  tessel ping [--sandbox MODE]\n"
    "  tessel sandbox\n"
    "  tessel check [--json FILE] [--reference-suffix SUFFIX] [--tolerance N] [-j N]\n"
    "               [--max-memory SIZE] [--sandbox MODE] DIR...\n"
    "\n"
    "Decodes PNG and renders SVG images in a separate worker process and writes PNG files.\n"
    "An INPUT's format is told by its content (PNG, SVG, or gzip-compressed SVG), whatever its\n"
    "name; - reads it from standard input.\n"
    "\n"
    "Commands:\n"
    "  render     write each INPUT as a PNG file (straight-alpha RGBA) named after it\n"
    "  info       print each INPUT's kind and natural size\n"
    "  ping       start a worker, ping it, stop it, and print the round trip and the worker\n"
    "  sandbox    start a worker as best it can be confined here, and print each layer of\n"
    "             its confinement and the worker's own report on itself\n"
    "  check      hold the worker's pixels against decodes made apart from it, for every\n"
    "             file under each DIR (sorted): each *.png file against libpng's decode in\n"
    "             the tool, exactly; each *.svg/*.svgz file against the reference image\n"
    "             beside it, rendered at the reference's size. A reference image is not\n"
    "             checked itself; an SVG file without one is listed as skipped. Each file\n"
    "             is pass, fail, rejected-by-both, rejected-by-worker,\n"
    "             rejected-by-reference, worker-crashed or skipped; a worker that crashes\n"
    "             is replaced and the check goes on. Every file that is not pass is\n"
    "             printed, then a count of each outcome\n"
    "\n"
    "Size options (for SVG images; a PNG image keeps its own size, and a size given for one\n"
    "is reported as not applied):\n"
    "  -w, --width N     render N pixels wide; alone, the height follows the aspect ratio\n"
    "  -h, --height N    render N pixels high; alone, the width follows the aspect ratio\n"
    "                    (-h is the height; the help is --help only)\n"
    "  -z, --zoom F      scale the natural size by F (1.5, 0.25, ...)\n"
    "  -a, --keep-aspect-ratio\n"
    "                    with both sides given, fit inside that box keeping the aspect ratio\n"
    "  --size WxH        render at exactly W x H pixels; 0 on a side keeps the natural size\n"
    "                    on that side\n"
    "  Sizes are worked out from the natural size and rounded to the nearest pixel.\n"
    "\n"
    "Options:\n"
    "  -b, --background-color COLOR\n"
    "                  fill behind the image: #rgb, #rrggbb, #rrggbbaa, or black, white,\n"
    "                  gray, red, lime, green, blue, yellow, cyan, magenta, transparent\n"
    "  --max-memory SIZE\n"
    "                  the most memory an image's pixels may take, 4 bytes a pixel, as bytes\n"
    "                  or with K, M or G (default 1G, at most 4095M); a larger SVG target is\n"
    "                  refused before it is rendered\n"
    "  -j, --jobs N    render (or check) N inputs at once, each in a worker of its own\n"
    "                  (default: one per core); messages and outputs are the same whatever\n"
    "                  N is\n"
    "  -o, --output FILE\n"
    "                  the output file, for a single INPUT; - writes to standard output\n"
    "  --out-dir DIR   the folder for the output files (made when missing; default: .)\n"
    "  --compression LEVEL\n"
    "                  how hard the PNG files are compressed: fast (default) writes many\n"
    "                  times faster than libpng's usual settings, default uses those, best\n"
    "                  writes the smallest files and takes longest\n"
    "  --log-dir DIR   keep the worker's log files in DIR (default: a temporary folder,\n"
    "                  removed at the end)\n"
    "  --worker PATH   the worker program (also TESSEL_WORKER=PATH); by default Tessel in\n"
    "                  ../libexec/tessel/ from the tool's folder, then beside the tool\n"
    "  --sandbox MODE  how the worker is confined: require (default) refuses to start it\n"
    "                  when a layer of its confinement is missing here; best-effort starts\n"
    "                  it with the layers this system offers; off starts it unconfined,\n"
    "                  with your rights\n"
    "  --json FILE     (check) also write every file's outcome to FILE as JSON: {\"files\":\n"
    "                  [{\"file\", \"status\", \"max_diff\", \"diff_share\", \"reason\"}...],\n"
    "                  \"summary\": {STATUS: COUNT}}\n"
    "  --reference-suffix SUFFIX\n"
    "                  (check) what names the reference image of an SVG file: its name\n"
    "                  without the extension plus SUFFIX (default: -ref.png)\n"
    "  --tolerance N   (check) the largest difference of a channel, 0 to 255, between an\n"
    "                  SVG rendering and its reference (straight RGBA) that still passes\n"
    "                  (default: 2); PNG files are compared exactly\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "\n"
    "Output files are written whole or not at all: a failed write leaves an older file of\n"
    "that name as it was. Messages go to standard error; standard output carries only what\n"
    "info, ping, sandbox and check print, or the image with -o -.\n"
    "\n"
    "Exit status: 0 when every INPUT succeeded (for sandbox: when every layer is in force\n"
    "and the worker reports itself confined; for check: when no file is fail or\n"
    "worker-crashed), 1 otherwise, 2 for a usage mistake, 128+N when\n"
    "ended by signal N (130 for Ctrl-C); an interrupted run removes its unfinished output.\n";

namespace {

enum class Option {
  kSize,
  kWidth,
  kHeight,
  kZoom,
  kKeepAspect,
  kBackground,
  kMaxMemory,
  kJobs,
  kOut,
  kOutDir,
  kCompression,
  kLogDir,
  kWorker,
  kSandbox,
  kJson,
  kReferenceSuffix,
  kTolerance,
  kHelp,
  kVersion,
};

constexpr struct {
  std::string_view name;
  char letter;  // 0: no short form
  bool takesValue;
  Option option;
} kOptions[] = {
    {"--size", 0, true, Option::kSize},
    {"--width", 'w', true, Option::kWidth},
    {"--height", 'h', true, Option::kHeight},
    {"--zoom", 'z', true, Option::kZoom},
    {"--keep-aspect-ratio", 'a', false, Option::kKeepAspect},
    {"--background-color", 'b', true, Option::kBackground},
    {"--max-memory", 0, true, Option::kMaxMemory},
    {"--jobs", 'j', true, Option::kJobs},
    {"--output", 'o', true, Option::kOut},
    {"--out-dir", 0, true, Option::kOutDir},
    {"--compression", 0, true, Option::kCompression},
    {"--log-dir", 0, true, Option::kLogDir},
    {"--worker", 0, true, Option::kWorker},
    {"--sandbox", 0, true, Option::kSandbox},
    {"--json", 0, true, Option::kJson},
    {"--reference-suffix", 0, true, Option::kReferenceSuffix},
    {"--tolerance", 0, true, Option::kTolerance},
    {"--help", 0, false, Option::kHelp},
    {"--version", 0, false, Option::kVersion},
};

template <typename T>
bool ParseWhole(std::string_view digits, T& value) {
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  return !digits.empty() && error == std::errc() && stop == end;
}

// What the options said, before they are checked against each other.
struct CSeen {
  bool size = false, width = false, height = false, zoom = false;
  bool renderOnly = false;  // any option that only render takes
  bool checkOnly = false;   // any option that only check takes
  bool batch = false;       // --jobs or --max-memory: render and check take them
};

}  // namespace

std::optional<TargetSize> ParseSize(const std::string& text) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return std::nullopt;
  TargetSize size;
  const std::string_view all(text);
  if (!ParseWhole(all.substr(0, x), size.width) || !ParseWhole(all.substr(x + 1), size.height))
    return std::nullopt;
  return size;
}

std::optional<uint64_t> ParseByteCount(const std::string& text) {
  const size_t digits = text.find_first_not_of("0123456789");
  uint64_t count = 0;
  if (!ParseWhole(std::string_view(text).substr(0, digits), count)) return std::nullopt;
  const std::string unit = digits == std::string::npos ? "" : text.substr(digits);
  int shift = 0;
  if (unit == "K" || unit == "k" || unit == "KiB") {
    shift = 10;
  } else if (unit == "M" || unit == "MiB") {
    shift = 20;
  } else if (unit == "G" || unit == "GiB") {
    shift = 30;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (count > (UINT64_MAX >> shift)) return std::nullopt;
  return count << shift;
}

std::optional<ConfinementMode> ParseConfinement(const std::string& text) {
  for (ConfinementMode mode :
       {ConfinementMode::kRequire, ConfinementMode::kBestEffort, ConfinementMode::kOff}) {
    if (text == ConfinementModeName(mode)) return mode;
  }
  return std::nullopt;
}

namespace {

// Takes one option's value into `line`; false with `error` set when the value is not one.
bool TakeValue(Option option, const std::string& name, const std::string& value, CommandLine& line,
               CSeen& seen, std::string& error) {
  auto wrong = [&](const std::string& wanted) {
    error = name + " takes " + wanted + ", not " + value;
    return false;
  };
  const bool anyCommand =
      option == Option::kLogDir || option == Option::kWorker || option == Option::kSandbox;
  const bool batch = option == Option::kJobs || option == Option::kMaxMemory;
  const bool checkOnly =
      option == Option::kJson || option == Option::kReferenceSuffix || option == Option::kTolerance;
  seen.batch = seen.batch || batch;
  seen.checkOnly = seen.checkOnly || checkOnly;
  seen.renderOnly = seen.renderOnly || !(anyCommand || batch || checkOnly);
  switch (option) {
    case Option::kSize: {
      const std::optional<TargetSize> size = ParseSize(value);
      if (!size) return wrong("WxH, two whole numbers such as 640x480 (0 = natural)");
      line.size.width = size->width, line.size.height = size->height;
      line.size.missingSideNatural = seen.size = true;
      return true;
    }
    case Option::kWidth:
    case Option::kHeight: {
      uint32_t side = 0;
      if (!ParseWhole(value, side) || side == 0) return wrong("a whole number of pixels from 1 up");
      (option == Option::kWidth ? line.size.width : line.size.height) = side;
      (option == Option::kWidth ? seen.width : seen.height) = true;
      return true;
    }
    case Option::kZoom: {
      char* end = nullptr;
      const double zoom = std::strtod(value.c_str(), &end);
      if (end != value.c_str() + value.size() || !std::isfinite(zoom) || zoom <= 0)
        return wrong("a factor above 0, such as 2 or 0.5");
      line.size.zoom = zoom;
      seen.zoom = true;
      return true;
    }
    case Option::kBackground:
      line.background = ParseColor(value);
      return line.background ? true : wrong("#rgb, #rrggbb, #rrggbbaa or a colour name");
    case Option::kMaxMemory: {
      const std::optional<uint64_t> bytes = ParseByteCount(value);
      if (!bytes || *bytes == 0) return wrong("a size such as 512M or 2G");
      if (*bytes > kMaxPixelMemory) {
        error = name + " can be at most 4095M: larger pixels cannot be handed over, not " + value;
        return false;
      }
      line.pixelMemory = *bytes;
      return true;
    }
    case Option::kJobs: {
      // Each job is a worker process with its own shared memory: a slip of the finger must not
      // start thousands.
      constexpr unsigned kMaxJobs = 256;
      if (!ParseWhole(value, line.jobs) || line.jobs == 0 || line.jobs > kMaxJobs)
        return wrong("a whole number of workers from 1 to 256");
      return true;
    }
    case Option::kOut:
    case Option::kOutDir: {
      std::string& place = option == Option::kOut ? line.outFile : line.outDir;
      if (!place.empty()) {
        error = name + " is given twice; name one place";
        return false;
      }
      place = value;
      return true;
    }
    case Option::kCompression: {
      const std::optional<PngCompression> compression = ParsePngCompression(value);
      if (!compression) return wrong("fast, default or best");
      line.compression = *compression;
      return true;
    }
    case Option::kLogDir:
      line.logDir = value;
      return true;
    case Option::kWorker:
      line.workerPath = value;
      return true;
    case Option::kSandbox: {
      const std::optional<ConfinementMode> mode = ParseConfinement(value);
      if (!mode) return wrong("require, best-effort or off");
      line.confinement = *mode;
      line.confinementGiven = true;
      return true;
    }
    case Option::kJson:
      line.jsonFile = value;
      return true;
    case Option::kReferenceSuffix:
      line.referenceSuffix = value;
      return true;
    case Option::kTolerance:
      if (!ParseWhole(value, line.tolerance) || line.tolerance > 255)
        return wrong("a whole number from 0 to 255");
      return true;
    case Option::kKeepAspect:
    case Option::kHelp:
    case Option::kVersion:
      break;
  }
  return true;
}

// The checks of the options against each other and the command.
bool CheckCombination(CommandLine& line, const CSeen& seen, const std::string& command,
                      std::string& error) {
  const bool takesInputs = line.command == Command::kRender || line.command == Command::kInfo ||
                           line.command == Command::kCheck;
  if (!takesInputs && !line.inputs.empty()) {
    error = command + " takes no inputs";
    return false;
  }
  if (takesInputs && line.inputs.empty()) {
    error = command + " needs at least one INPUT";
    return false;
  }
  const bool batch = line.command == Command::kRender || line.command == Command::kCheck;
  if (line.command != Command::kRender && (seen.renderOnly || line.size.keepAspect)) {
    error = batch ? "the size, colour, output and compression options belong to render"
                  : "the size, colour, memory and output options belong to render";
    return false;
  }
  if (!batch && seen.batch) {
    error = "--jobs and --max-memory belong to render and check";
    return false;
  }
  if (line.command != Command::kCheck && seen.checkOnly) {
    error = "--json, --reference-suffix and --tolerance belong to check";
    return false;
  }
  if (line.command == Command::kCheck &&
      std::find(line.inputs.begin(), line.inputs.end(), kStandardStream) != line.inputs.end()) {
    error = "check takes folders; standard input (-) is not one";
    return false;
  }
  if (line.command == Command::kSandbox && line.confinementGiven) {
    error =
        "sandbox always asks for best-effort, to show what is missing; --sandbox does not "
        "apply to it";
    return false;
  }
  if (seen.size && (seen.width || seen.height || seen.zoom)) {
    error = "--size sets both sides: give it or --width, --height and --zoom, not both";
    return false;
  }
  if (seen.zoom && (seen.width || seen.height)) {
    error = "--zoom scales the natural size and --width and --height set it: give one or the other";
    return false;
  }
  if (!line.outFile.empty() && !line.outDir.empty()) {
    error = "give either -o or --out-dir, not both";
    return false;
  }
  if (!line.outFile.empty() && line.inputs.size() != 1) {
    error = "-o names one output file, so it takes exactly one INPUT; use --out-dir for more";
    return false;
  }
  size_t standard = 0;
  for (const std::string& input : line.inputs) standard += input == kStandardStream ? 1 : 0;
  if (standard > 1) {
    error = "standard input (-) can be read only once";
    return false;
  }
  if (standard == 1 && line.command == Command::kRender && line.outFile.empty()) {
    error = "standard input (-) has no name to name its output after: give -o FILE, or -o -";
    return false;
  }
  return true;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(int argc, const char* const* argv, std::string& error) {
  CommandLine line;
  CSeen seen;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      words.push_back(std::move(arg));
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name VALUE", "--name=VALUE", "-x VALUE" or "-xVALUE".
    const bool isLong = arg[1] == '-';
    const size_t equals = isLong ? arg.find('=') : std::string::npos;
    const std::string name = isLong ? arg.substr(0, equals) : arg.substr(0, 2);
    std::optional<std::string> value;
    if (equals != std::string::npos) value = arg.substr(equals + 1);
    if (!isLong && arg.size() > 2) value = arg.substr(2);
    const auto* option = std::find_if(std::begin(kOptions), std::end(kOptions), [&](const auto& o) {
      return isLong ? o.name == name : (o.letter != 0 && name[1] == o.letter);
    });
    if (option == std::end(kOptions) || (!option->takesValue && value)) {
      error = option == std::end(kOptions) ? "unknown option " + arg : name + " takes no value";
      return std::nullopt;
    }
    if (!option->takesValue) {
      if (option->option == Option::kHelp) line.help = true;
      if (option->option == Option::kVersion) line.version = true;
      if (option->option == Option::kKeepAspect) line.size.keepAspect = true;
      continue;
    }
    if (!value) {
      if (i + 1 >= argc) {
        error = name + " needs a value" +
                (name == "-h" ? " (-h is the height; the help is --help)" : "");
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (value->empty()) {
      error = name + " needs a value";
      return std::nullopt;
    }
    if (!TakeValue(option->option, name, *value, line, seen, error)) return std::nullopt;
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
  } else if (command == "check") {
    line.command = Command::kCheck;
  } else {
    error = "unknown command " + command;
    return std::nullopt;
  }
  line.inputs.assign(words.begin() + 1, words.end());
  if (!CheckCombination(line, seen, command, error)) return std::nullopt;
  return line;
}

}  // namespace tessel::cli
