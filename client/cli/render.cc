#include "client/cli/render.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "client/cli/input.h"
#include "client/cli/interrupt.h"
#include "client/cli/output.h"
#include "client/cli/progress.h"
#include "client/cli/size_plan.h"
#include "client/cli/worker.h"
#include "client/worker_pool.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

// How often the dispatching thread looks for a signal while it waits. Only it takes the signals,
// so that a read of an input that blocks (a FIFO, standard input) is what a signal ends.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// One input's way through the run: its output is settled in input order before the work is
// spread, a renderer thread finishes it, and its messages are printed in input order.
struct CJob {
  fs::path output;
  CInput source;
  bool finished = false;
  bool rendered = false;
  bool late = false;  // finished after a signal: a failure is the signal's, not the input's
  std::string error, warning;
};

void Complain(const std::string& input, const std::string& why, const char* what = "") {
  ::fprintf(stderr, "tessel: %s: %s%s\n", DisplayName(input).c_str(), what, why.c_str());
}

// The inputs read one after another on the calling thread and rendered by renderer threads
// through the pool. There is one renderer more than the pool has workers: one always has its
// pixels copied out and encodes while the workers decode, even with a single worker.
class CBatch {
 public:
  CBatch(const CommandLine& line, CWorkerStarter& starter, WorkerPool& pool)
      : line_(line), starter_(starter), pool_(pool), jobs_(line.inputs.size()) {}

  // Renders every input and prints its messages; returns how many were written.
  size_t Run() {
    const size_t total = jobs_.size();
    StartRenderers(std::min(total, pool_.Size() + 1));
    CProgress progress(total, total > 1 && CProgress::OnTerminal());
    size_t reported = 0;
    progress.Show(0, DisplayName(line_.inputs[0]));
    for (size_t i = 0; i < total && !Interrupted(); ++i) {
      const bool ready = Prepare(i);
      std::unique_lock lock(mutex_);
      if (!ready) {
        jobs_[i].late = Interrupted();  // a read that the signal ended
        jobs_[i].finished = true;
      } else {
        while (queue_.size() >= capacity_ && !Interrupted()) finished_.wait_for(lock, kSignalPoll);
        if (Interrupted()) break;
        queue_.push_back(i);
        ++pending_;
        work_.notify_one();
      }
      lock.unlock();
      Report(progress, reported);
    }
    {
      std::lock_guard lock(mutex_);
      noMore_ = true;
    }
    work_.notify_all();
    if (renderers_.empty()) Renderer();
    for (;;) {
      Report(progress, reported);
      std::unique_lock lock(mutex_);
      if (pending_ == 0 || Interrupted()) break;
      finished_.wait_for(lock, kSignalPoll);
    }
    if (Interrupted()) {
      {
        std::lock_guard lock(mutex_);
        stop_ = true;
      }
      work_.notify_all();
      // Kills the workers that are busy: their renderers come back at once.
      pool_.Close();
    }
    for (std::thread& renderer : renderers_) renderer.join();
    folderSyncs_.SyncAll();
    Report(progress, reported);
    size_t rendered = 0;
    for (const CJob& job : jobs_) rendered += job.rendered ? 1 : 0;
    return rendered;
  }

 private:
  void StartRenderers(size_t count) {
    renderers_ = StartThreadsWithoutSignals(count, [this] { Renderer(); });
    // Without any, this thread renders once every input is read.
    capacity_ = renderers_.empty() ? jobs_.size() : renderers_.size();
  }

  // Settles input `i`'s output and reads it; false when it failed already.
  bool Prepare(size_t i) {
    const std::string& input = line_.inputs[i];
    CJob& job = jobs_[i];
    job.output = OutputFor(input);
    const bool toStream = job.output == kStandardStream;
    std::error_code ec;
    const std::string key = fs::absolute(job.output, ec).lexically_normal().string();
    if (!toStream && !taken_.insert(key).second) {
      job.error = "its output " + job.output.string() + " is already written for an earlier input";
      return false;
    }
    if (!toStream && input != kStandardStream && fs::equivalent(job.output, input, ec)) {
      job.error = "its output " + job.output.string() + " would overwrite the input";
      return false;
    }
    return ReadInput(input, job.source, job.error);
  }

  void Renderer() {
    for (;;) {
      size_t i = 0;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return stop_ || noMore_ || !queue_.empty(); });
        if (stop_ || queue_.empty()) return;
        i = queue_.front();
        queue_.pop_front();
      }
      finished_.notify_all();  // room for the next input
      CJob& job = jobs_[i];
      job.rendered = RenderOne(i + 1, job);
      job.source = CInput();
      {
        std::lock_guard lock(mutex_);
        job.late = Interrupted();
        job.finished = true;
        --pending_;
      }
      finished_.notify_all();
    }
  }

  // Renders `job` under the worker's image `id`.
  bool RenderOne(uint64_t id, CJob& job) {
    // A target that is known already is checked before a worker is started for it.
    if (job.source.kind == ImageKind::kSvg && !NeedsNaturalSize(line_.size)) {
      job.error = CheckPixelBudget(PlanSize(line_.size, {}), line_.pixelMemory);
      if (!job.error.empty()) return false;
    }
    Result<WorkerPool::Lease> lease = pool_.Acquire();
    if (!lease) {
      job.error = "cannot start a worker: " + lease.Error().Message();
      return false;
    }
    // Copied, so that the worker decodes the next input while this one is encoded.
    Result<LoadedImage> image = job.source.kind == ImageKind::kSvg
                                    ? LoadSvg(lease->Images(), id, job.source, job.error)
                                    : starter_.Load(lease->Images(), id, job.source, {}, job.error,
                                                    false, PixelStorage::kCopy);
    // A worker that cannot free is replaced before its next input.
    if (image) (void)lease->Images().Free(id);
    lease->Release();
    if (!image) return false;
    if (job.source.kind == ImageKind::kPng && line_.size.Given()) {
      job.warning = "a PNG image keeps its own size (" + std::to_string(image->PixelWidth()) +
                    " x " + std::to_string(image->PixelHeight()) +
                    "); the size options apply to SVG images only";
    }
    const CPixels pixels{image->PixelWidth(), image->PixelHeight(), image->Pixels(),
                         line_.background, line_.compression};
    return WriteOutput(job.output.string(), pixels, job.error, &folderSyncs_);
  }

  fs::path OutputFor(const std::string& input) const {
    if (!line_.outFile.empty()) return line_.outFile;
    fs::path name = fs::path(input).filename();
    name.replace_extension(".png");
    return fs::path(line_.outDir.empty() ? "." : line_.outDir) / name;
  }

  // The target is checked against the pixel limit before it is rendered: a worker that renders
  // what cannot be handed over spends gigabytes for nothing.
  Result<LoadedImage> LoadSvg(ImageSession& images, uint64_t id, const CInput& source,
                              std::string& error) {
    TargetSize target = PlanSize(line_.size, {});
    const bool probe = NeedsNaturalSize(line_.size);
    if (probe) {
      // The natural size is in the descriptor whatever the rendering size, and 1 x 1 costs
      // nothing; the document stays parsed in the worker for the real rendering.
      Result<LoadedImage> natural = starter_.Load(images, id, source, {1, 1}, error);
      if (!natural) return natural;
      target = PlanSize(line_.size, {natural->Descriptor().Width, natural->Descriptor().Height});
    }
    if (std::string over = CheckPixelBudget(target, line_.pixelMemory); !over.empty()) {
      if (probe) (void)images.Free(id);
      error = std::move(over);
      return Status(ErrorKind::kBadInput, error);
    }
    return starter_.Load(images, id, source, target, error, probe, PixelStorage::kCopy);
  }

  // Prints the messages of the inputs finished so far, in input order, from `reported` on.
  void Report(CProgress& progress, size_t& reported) {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (reported == jobs_.size() || !jobs_[reported].finished) break;
      }
      const CJob& job = jobs_[reported];
      const std::string& input = line_.inputs[reported];
      ++reported;
      if (job.late) continue;
      if (!job.warning.empty() || !job.rendered) progress.Clear();
      if (!job.warning.empty()) Complain(input, job.warning, "warning: ");
      if (!job.rendered) Complain(input, job.error);
      if (reported < jobs_.size() && !Interrupted())
        progress.Show(reported, DisplayName(line_.inputs[reported]));
    }
  }

  const CommandLine& line_;
  CWorkerStarter& starter_;
  WorkerPool& pool_;
  std::vector<CJob> jobs_;
  std::set<std::string> taken_;  // outputs of earlier inputs
  CFolderSyncs folderSyncs_;     // synced once every output is written
  std::vector<std::thread> renderers_;

  std::mutex mutex_;
  std::condition_variable work_;      // an input is queued, or there will be no more
  std::condition_variable finished_;  // an input is finished, or taken from the queue
  std::deque<size_t> queue_;          // read and waiting for a renderer
  size_t capacity_ = 1;
  size_t pending_ = 0;  // queued or being rendered
  bool noMore_ = false;
  bool stop_ = false;
};

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
  // The starter's log folder goes after the pool's workers have ended.
  CWorkerStarter starter(std::move(setup));
  WorkerPool pool({.workers = line.jobs, .session = {}, .start = [&starter](Session& session) {
                     return starter.Start(session);
                   }});
  const size_t total = line.inputs.size();
  const size_t rendered = CBatch(line, starter, pool).Run();
  // After a signal the workers have been killed; otherwise they are stopped here.
  pool.Close();

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
