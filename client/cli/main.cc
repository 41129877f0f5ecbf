// tessel: decodes PNG and renders SVG images through one worker session and writes PNG files,
// and shows how the worker is confined.
#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "client/cli/command_line.h"
#include "client/cli/png_file.h"
#include "client/cli/progress.h"
#include "client/cli/worker.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Complain(const std::string& input, const std::string& why) {
  ::fprintf(stderr, "tessel: %s: %s\n", input.c_str(), why.c_str());
}

// The worker decodes these extensions only; anything else it refuses without a word.
bool CheckExtension(const std::string& input, std::string& error) {
  std::string extension = fs::path(input).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".png" || extension == ".svg") return true;
  error = (extension.empty() ? std::string("no extension") : "unknown extension " + extension) +
          "; only .png and .svg images are decoded";
  return false;
}

// An input as the worker is given it and as it is named readable; the worker's folder is not ours.
std::string AbsoluteInput(const std::string& input) {
  std::error_code ignored;
  return fs::absolute(input, ignored).string();
}

// Inputs that are not there are reported here: the worker could not read them anyway, and a
// confined worker is not even allowed to look for them.
bool CheckPresent(const std::string& input, std::string& error) {
  std::error_code failure;
  if (fs::exists(AbsoluteInput(input), failure)) return true;
  error = "cannot read it: " + (failure ? failure.message() : "no such file");
  return false;
}

// The inputs the worker will be asked to load, and so may read.
std::vector<std::string> ReadableInputs(const CommandLine& line) {
  std::vector<std::string> readable;
  std::string ignored;
  for (const std::string& input : line.inputs) {
    if (CheckExtension(input, ignored) && CheckPresent(input, ignored))
      readable.push_back(AbsoluteInput(input));
  }
  return readable;
}

bool EnsureRunning(CWorker& worker, std::string& error) {
  if (worker.Running()) return true;
  Status started = worker.Start();
  if (!started) error = "cannot start a worker: " + started.Message();
  return started.Ok();
}

// Loads `input` under `id`; on failure `error` holds the worker's reason.
Result<LoadedImage> LoadInput(CWorker& worker, uint64_t id, const std::string& input,
                              TargetSize size, std::string& error) {
  if (!CheckExtension(input, error) || !CheckPresent(input, error) ||
      !EnsureRunning(worker, error))
    return Status(ErrorKind::kBadInput, error);
  const std::string absolute = AbsoluteInput(input);
  Result<LoadedImage> image = worker.Images().Load(id, absolute, size);
  if (!image) error = worker.Explain(image.Error());
  return image;
}

class CRenderer {
 public:
  CRenderer(const CommandLine& line, CWorker& worker) : line_(line), worker_(worker) {}

  bool RenderOne(uint64_t id, const std::string& input, std::string& error) {
    const fs::path output = OutputFor(input);
    std::error_code ec;
    const std::string key = fs::absolute(output, ec).lexically_normal().string();
    if (!taken_.insert(key).second) {
      error = "its output " + output.string() + " is already written for an earlier input";
      return false;
    }
    if (fs::equivalent(output, input, ec)) {
      error = "its output " + output.string() + " would overwrite the input";
      return false;
    }
    Result<LoadedImage> image = LoadInput(worker_, id, input, line_.size, error);
    if (!image) return false;
    // The pixels are a view into the session's memory until the next command: written first.
    const bool written = WritePngFile(output.string(), image->PixelWidth(), image->PixelHeight(),
                                      image->Pixels(), error);
    // A worker that cannot free is replaced before the next input.
    (void)worker_.Images().Free(id);
    return written;
  }

 private:
  fs::path OutputFor(const std::string& input) const {
    if (!line_.outFile.empty()) return line_.outFile;
    fs::path name = fs::path(input).filename();
    name.replace_extension(".png");
    return fs::path(line_.outDir.empty() ? "." : line_.outDir) / name;
  }

  const CommandLine& line_;
  CWorker& worker_;
  std::set<std::string> taken_;
};

int Render(const CommandLine& line) {
  if (line.outFile.empty()) {
    std::error_code error;
    const std::string dir = line.outDir.empty() ? "." : line.outDir;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir)) {
      ::fprintf(stderr, "tessel: cannot make the output folder %s: %s\n", dir.c_str(),
                error ? error.message().c_str() : "a file of that name is in the way");
      return kExitFailed;
    }
  }
  CWorker worker(line.logDir, line.confinement, ReadableInputs(line));
  CRenderer renderer(line, worker);
  const size_t total = line.inputs.size();
  size_t rendered = 0;
  {
    CProgress progress(total, total > 1 && CProgress::OnTerminal());
    for (size_t i = 0; i < total; ++i) {
      progress.Show(i, line.inputs[i]);
      std::string error;
      if (renderer.RenderOne(i + 1, line.inputs[i], error)) {
        ++rendered;
      } else {
        progress.Clear();
        Complain(line.inputs[i], error);
      }
    }
  }
  if (Status stopped = worker.Stop(); !stopped)
    ::fprintf(stderr, "tessel: the worker did not stop cleanly: %s\n", stopped.Message().c_str());

  std::string where = line.outFile;
  if (where.empty()) {
    where = line.outDir.empty() ? "." : line.outDir;
    if (where.back() != '/') where.push_back('/');
  }
  const size_t failed = total - rendered;
  ::printf("rendered %zu of %zu image%s into %s", rendered, total, total == 1 ? "" : "s",
           where.c_str());
  if (failed != 0) ::printf(" (%zu failed)", failed);
  ::printf("\n");
  return failed == 0 ? 0 : kExitFailed;
}

int Info(const CommandLine& line) {
  CWorker worker(line.logDir, line.confinement, ReadableInputs(line));
  size_t failed = 0;
  for (size_t i = 0; i < line.inputs.size(); ++i) {
    const std::string& input = line.inputs[i];
    std::string error;
    // The natural size is in the descriptor whatever the rendering size: 1 x 1 costs nothing.
    Result<LoadedImage> image = LoadInput(worker, i + 1, input, TargetSize{1, 1}, error);
    if (!image) {
      Complain(input, error);
      ++failed;
      continue;
    }
    const ImageDescriptor& descriptor = image->Descriptor();
    ::printf("%s: %s, %u x %u\n", input.c_str(), image->IsVector() ? "SVG" : "PNG",
             descriptor.Width, descriptor.Height);
    (void)worker.Images().Free(i + 1);
  }
  (void)worker.Stop();
  return failed == 0 ? 0 : kExitFailed;
}

int Ping(const CommandLine& line) {
  using Clock = std::chrono::steady_clock;
  CWorker worker(line.logDir, line.confinement);
  const Clock::time_point begin = Clock::now();
  Status status = worker.Start();
  const Clock::time_point started = Clock::now();
  if (status) status = worker.GetSession().Ping();
  const Clock::time_point answered = Clock::now();
  if (status) status = worker.Stop();
  if (!status) {
    ::fprintf(stderr, "tessel: ping: %s\n", status.Message().c_str());
    return kExitFailed;
  }
  const auto micros = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  };
  ::printf("worker answered ping in %lld us (start-up took %lld us)\n",
           static_cast<long long>(micros(answered - started)),
           static_cast<long long>(micros(started - begin)));
  return 0;
}

// The worker is started with whatever confinement this system offers, so that every layer can
// be shown in force or missing rather than the start refused at the first missing one.
int Sandbox(const CommandLine& line) {
  CWorker worker(line.logDir, ConfinementMode::kBestEffort);
  Status status = worker.Start();
  if (status) status = worker.GetSession().Ping();
  if (!status) {
    ::fprintf(stderr, "tessel: sandbox: %s\n", status.Message().c_str());
    return kExitFailed;
  }
  const ConfinementReport& report = worker.GetSession().Confinement();
  auto show = [](const std::string& name, bool inForce, const std::string& detail) {
    ::printf("  %s: %s%s%s\n", name.c_str(), inForce ? "in force" : "missing",
             detail.empty() ? "" : ": ", detail.c_str());
  };
  ::printf("Layers of the worker's confinement:\n");
  bool allInForce = report.Complete();
  for (const char* name : kConfinementLayers) {
    const ConfinementLayer* layer = report.Find(name);
    if (layer == nullptr) allInForce = false;
    show(name, layer != nullptr && layer->inForce,
         layer != nullptr ? layer->detail : "the session does not report it");
  }
  for (const ConfinementLayer& layer : report.layers) {
    if (std::find(std::begin(kConfinementLayers), std::end(kConfinementLayers), layer.name) ==
        std::end(kConfinementLayers))
      show(layer.name, layer.inForce, layer.detail);
  }
  ::printf("The worker's own report:\n");
  const std::optional<WorkerSelfReport> self = worker.SelfReport();
  if (self) {
    ::printf("  Privilege test %s\n  Mandatory level: %s\n  Privileges: %s\n",
             self->privilegeTestPassed ? "OK" : "failed", self->mandatoryLevel.c_str(),
             self->privileges.empty() ? "(none)" : self->privileges.c_str());
  } else {
    ::printf("  not found in its log\n");
  }
  (void)worker.Stop();
  const bool confined = allInForce && self && self->Confined();
  ::printf("%s\n", confined ? "The worker is confined."
                            : "The worker is not fully confined: it can do more than decode.");
  return confined ? 0 : kExitFailed;
}

}  // namespace
}  // namespace tessel::cli

int main(int argc, char** argv) {
  using namespace tessel::cli;
  std::string error;
  const std::optional<CommandLine> line = ParseCommandLine(argc, argv, error);
  if (!line) {
    ::fprintf(stderr, "tessel: %s\nTry 'tessel --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (line->help) {
    ::fputs(kUsage, stdout);
    return 0;
  }
  if (line->version) {
    ::printf("tessel %s\n", TESSEL_VERSION);
    return 0;
  }
  if (line->confinement == tessel::ConfinementMode::kOff && line->command != Command::kNone) {
    ::fputs(
        "tessel: warning: the worker runs unconfined, with your rights; an image made to "
        "exploit a decoder can do whatever you can\n",
        stderr);
  }
  switch (line->command) {
    case Command::kRender:
      return Render(*line);
    case Command::kInfo:
      return Info(*line);
    case Command::kPing:
      return Ping(*line);
    case Command::kSandbox:
      return Sandbox(*line);
    case Command::kNone:
      break;
  }
  return kExitUsage;
}
