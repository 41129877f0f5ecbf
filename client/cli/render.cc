#include "client/cli/render.h"

#include <stdio.h>

#include <filesystem>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "client/cli/input.h"
#include "client/cli/interrupt.h"
#include "client/cli/output.h"
#include "client/cli/progress.h"
#include "client/cli/size_plan.h"
#include "client/cli/worker.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

class CRenderer {
 public:
  CRenderer(const CommandLine& line, CWorker& worker) : line_(line), worker_(worker) {}

  // Renders `input` under the worker's image `id`; `warning` says what was not applied.
  bool RenderOne(uint64_t id, const std::string& input, std::string& error, std::string& warning) {
    const fs::path output = OutputFor(input);
    const bool toStream = output == kStandardStream;
    std::error_code ec;
    const std::string key = fs::absolute(output, ec).lexically_normal().string();
    if (!toStream && !taken_.insert(key).second) {
      error = "its output " + output.string() + " is already written for an earlier input";
      return false;
    }
    if (!toStream && input != kStandardStream && fs::equivalent(output, input, ec)) {
      error = "its output " + output.string() + " would overwrite the input";
      return false;
    }
    CInput source;
    if (!ReadInput(input, source, error)) return false;
    Result<LoadedImage> image = source.kind == ImageKind::kSvg
                                    ? LoadSvg(id, source, error)
                                    : worker_.Load(id, source, {}, error);
    if (!image) return false;
    if (source.kind == ImageKind::kPng && line_.size.Given()) {
      warning = "a PNG image keeps its own size (" + std::to_string(image->PixelWidth()) + " x " +
                std::to_string(image->PixelHeight()) +
                "); the size options apply to SVG images only";
    }
    // The pixels are a view into the session's memory until the next command: written first.
    const CPixels pixels{image->PixelWidth(), image->PixelHeight(), image->Pixels(),
                         line_.background, line_.compression};
    const bool written = WriteOutput(output.string(), pixels, error);
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

  // The target is checked against the pixel limit before it is rendered: a worker that renders
  // what cannot be handed over spends gigabytes for nothing.
  Result<LoadedImage> LoadSvg(uint64_t id, const CInput& source, std::string& error) {
    TargetSize target = PlanSize(line_.size, {});
    const bool probe = NeedsNaturalSize(line_.size);
    if (probe) {
      // The natural size is in the descriptor whatever the rendering size, and 1 x 1 costs
      // nothing; the document stays parsed in the worker for the real rendering.
      Result<LoadedImage> natural = worker_.Load(id, source, {1, 1}, error);
      if (!natural) return natural;
      target = PlanSize(line_.size, {natural->Descriptor().Width, natural->Descriptor().Height});
    }
    if (std::string over = CheckPixelBudget(target, line_.pixelMemory); !over.empty()) {
      if (probe) (void)worker_.Images().Free(id);
      error = std::move(over);
      return Status(ErrorKind::kBadInput, error);
    }
    return worker_.Load(id, source, target, error, probe);
  }

  const CommandLine& line_;
  CWorker& worker_;
  std::set<std::string> taken_;
};

void Complain(const std::string& input, const std::string& why, const char* what = "") {
  ::fprintf(stderr, "tessel: %s: %s%s\n", DisplayName(input).c_str(), what, why.c_str());
}

}  // namespace

int Render(const CommandLine& line, const std::string& workerPath) {
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
  WorkerSetup setup{workerPath, line.logDir, line.confinement, {}, line.pixelMemory};
  for (const std::string& input : line.inputs) {
    if (std::optional<std::string> path = PathForWorker(input)) setup.readable.push_back(*path);
  }
  CWorker worker(std::move(setup));
  CRenderer renderer(line, worker);
  const size_t total = line.inputs.size();
  size_t rendered = 0;
  {
    CProgress progress(total, total > 1 && CProgress::OnTerminal());
    for (size_t i = 0; i < total && !Interrupted(); ++i) {
      progress.Show(i, DisplayName(line.inputs[i]));
      std::string error, warning;
      const bool done = renderer.RenderOne(i + 1, line.inputs[i], error, warning);
      rendered += done ? 1 : 0;
      // A failure the signal caused is not the input's.
      if (Interrupted()) break;
      if (!warning.empty() || !done) progress.Clear();
      if (!warning.empty()) Complain(line.inputs[i], warning, "warning: ");
      if (!done) Complain(line.inputs[i], error);
    }
  }
  // After a signal the worker has been killed: there is nothing to stop.
  if (!Interrupted()) {
    if (Status stopped = worker.Stop(); !stopped && !Interrupted())
      ::fprintf(stderr, "tessel: the worker did not stop cleanly: %s\n", stopped.Message().c_str());
  }

  std::string where = line.outFile == kStandardStream ? "standard output" : line.outFile;
  if (where.empty()) {
    where = line.outDir.empty() ? "." : line.outDir;
    if (where.back() != '/') where.push_back('/');
  }
  const size_t failed = total - rendered;
  std::string summary = "rendered " + std::to_string(rendered) + " of " + std::to_string(total) +
                        " image" + (total == 1 ? "" : "s") + " into " + where;
  if (const int signal = InterruptSignal()) {
    summary = std::string("tessel: interrupted by ") + SignalName(signal) + ": " + summary;
  } else if (failed != 0) {
    summary += " (" + std::to_string(failed) + " failed)";
  }
  ::fprintf(stderr, "%s\n", summary.c_str());
  return failed == 0 ? 0 : kExitFailed;
}

}  // namespace tessel::cli
