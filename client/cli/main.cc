// tessel: decodes PNG and renders SVG images through one worker session and writes PNG files,
// checks the worker's pixels against decodes made apart from it, and shows how the worker is
// confined.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include "client/cli/check.h"
#include "client/cli/command_line.h"
#include "client/cli/input.h"
#include "client/cli/interrupt.h"
#include "client/cli/png_header.h"
#include "client/cli/render.h"
#include "client/cli/worker.h"
#include "client/cli/worker_locator.h"
#include "platform/process.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

void Complain(const std::string& input, const std::string& why) {
  ::fprintf(stderr, "tessel: %s: %s\n", DisplayName(input).c_str(), why.c_str());
}

// A log folder that cannot be used would fail every worker: one usage mistake, found first.
bool CheckLogFolder(const std::string& folder, std::string& error) {
  if (folder.empty()) return true;
  std::error_code failure;
  fs::create_directories(folder, failure);
  if (!failure && !fs::is_directory(folder, failure)) {
    error = "cannot use " + folder + " as the log folder: it is not a folder";
    return false;
  }
  if (failure || ::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = "cannot use " + folder + " as the log folder: " +
            (failure ? failure : std::error_code(errno, std::generic_category())).message();
    return false;
  }
  return true;
}

int Info(const CommandLine& line, const std::string& workerPath) {
  WorkerSetup setup{workerPath, line.logDir, line.confinement, {}, kDefaultPixelMemory};
  for (const std::string& input : line.inputs) {
    if (std::optional<std::string> path = PathForWorker(input)) setup.readable.push_back(*path);
  }
  CWorker worker(std::move(setup));
  size_t failed = 0;
  for (size_t i = 0; i < line.inputs.size() && !Interrupted(); ++i) {
    const std::string& input = line.inputs[i];
    // A PNG's header has all that is printed: the image is not decoded, nor handed to a worker,
    // nor even read past its header (standard input is read whole, as it cannot be read twice).
    std::optional<PngHeader> header;
    if (input != kStandardStream) header = ReadPngHeader(input);
    CInput source;
    std::string error;
    const bool read = header || ReadInput(input, source, error);
    if (read && !header && !source.byPath) header = ParsePngHeader(source.bytes);
    if (header) {
      ::printf("%s: PNG, %u x %u, %s (from the PNG header; not decoded)\n",
               DisplayName(input).c_str(), header->width, header->height,
               DescribePngFormat(*header).c_str());
      continue;
    }
    // The natural size is in the descriptor whatever the rendering size: 1 x 1 costs nothing.
    Result<LoadedImage> image =
        read ? worker.Load(i + 1, source, {1, 1}, error) : Status(ErrorKind::kBadInput, error);
    if (Interrupted()) break;
    if (!image) {
      Complain(input, error);
      ++failed;
      continue;
    }
    const ImageDescriptor& descriptor = image->Descriptor();
    ::printf("%s: %s, %u x %u\n", DisplayName(input).c_str(), image->IsVector() ? "SVG" : "PNG",
             descriptor.Width, descriptor.Height);
    (void)worker.Images().Free(i + 1);
  }
  if (!Interrupted()) (void)worker.Stop();
  return failed == 0 ? 0 : kExitFailed;
}

int Ping(const CommandLine& line, const std::string& workerPath) {
  using Clock = std::chrono::steady_clock;
  CWorker worker(WorkerSetup{workerPath, line.logDir, line.confinement, {}, kDefaultPixelMemory});
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
  ::printf("worker answered ping in %lld us (start-up took %lld us)\nworker program: %s\n",
           static_cast<long long>(micros(answered - started)),
           static_cast<long long>(micros(started - begin)), workerPath.c_str());
  return 0;
}

// The worker is started with whatever confinement this system offers, so that every layer can
// be shown in force or missing rather than the start refused at the first missing one.
int Sandbox(const CommandLine& line, const std::string& workerPath) {
  CWorker worker(
      WorkerSetup{workerPath, line.logDir, ConfinementMode::kBestEffort, {}, kDefaultPixelMemory});
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
  auto usage = [](const std::string& mistake) {
    ::fprintf(stderr, "tessel: %s\nTry 'tessel --help'.\n", mistake.c_str());
    return kExitUsage;
  };
  if (!line) return usage(error);
  if (line->help) {
    ::fputs(kUsage, stdout);
    return 0;
  }
  if (line->version) {
    ::printf("tessel %s\n", TESSEL_VERSION);
    return 0;
  }
  // From here on a signal ends the run cleanly.
  const CInterruptGuard guard;
  if (!CheckLogFolder(line->logDir, error)) return usage(error);
  if (line->outFile == kStandardStream && ::isatty(STDOUT_FILENO) == 1)
    return usage("-o - would write the image to the terminal; redirect standard output");
  std::string workerPath;
  const WorkerLookup found =
      FindWorker(line->workerPath, ::getenv(kWorkerVariable),
                 WorkerCandidates(tessel::ExecutableFolder()), workerPath, error);
  if (found == WorkerLookup::kBadOption) return usage(error);
  if (found == WorkerLookup::kNotFound) {
    ::fprintf(stderr, "tessel: %s\n", error.c_str());
    return kExitFailed;
  }
  if (line->confinement == tessel::ConfinementMode::kOff && line->command != Command::kNone) {
    ::fputs(
        "tessel: warning: the worker runs unconfined, with your rights; an image made to "
        "exploit a decoder can do whatever you can\n",
        stderr);
  }
  int status = kExitUsage;
  switch (line->command) {
    case Command::kRender:
      status = Render(*line, workerPath);
      break;
    case Command::kInfo:
      status = Info(*line, workerPath);
      break;
    case Command::kPing:
      status = Ping(*line, workerPath);
      break;
    case Command::kSandbox:
      status = Sandbox(*line, workerPath);
      break;
    case Command::kCheck:
      status = Check(*line, workerPath);
      break;
    case Command::kNone:
      break;
  }
  if (const int signal = InterruptSignal()) {
    // Render and check have said how far they got.
    if (line->command != Command::kRender && line->command != Command::kCheck)
      ::fprintf(stderr, "tessel: interrupted by %s\n", SignalName(signal));
    return 128 + signal;
  }
  return status;
}
