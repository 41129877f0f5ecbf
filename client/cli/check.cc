#include "client/cli/check.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "client/cli/color.h"
#include "client/cli/input.h"
#include "client/cli/interrupt.h"
#include "client/cli/output.h"
#include "client/cli/progress.h"
#include "client/cli/reference_png.h"
#include "client/cli/worker.h"
#include "client/worker_pool.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

// As render: only the main thread takes the signals, and looks for them this often.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

enum class Verdict {
  kPass,
  kFail,
  kRejectedByBoth,
  kRejectedByWorker,
  kRejectedByReference,
  kWorkerCrashed,
  kSkipped,
};
constexpr const char* kVerdictNames[] = {
    "pass",           "fail",   "rejected-by-both", "rejected-by-worker", "rejected-by-reference",
    "worker-crashed", "skipped"};

const char* Name(Verdict verdict) {
  return kVerdictNames[static_cast<size_t>(verdict)];
}

// One file to check, and what came of it.
struct CItem {
  std::string file;
  ImageKind kind = ImageKind::kUnknown;
  std::string reference;  // of an SVG file; empty: none
  Verdict verdict = Verdict::kSkipped;
  unsigned maxDiff = 0;
  double diffShare = 0;  // of the pixels, those with a channel that differs beyond the tolerance
  std::string reason;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The files under `folders`, sorted by path, each once; a folder's reference images are taken
// by their SVG files, not checked themselves.
std::vector<CItem> CollectFiles(const std::vector<std::string>& folders, const std::string& suffix,
                                std::string& error) {
  std::set<std::string> pngs, svgs;
  for (const std::string& folder : folders) {
    std::error_code failure;
    fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied,
                                          failure);
    for (; !failure && walk != fs::recursive_directory_iterator(); walk.increment(failure)) {
      std::error_code ignored;
      if (!walk->is_regular_file(ignored)) continue;
      const std::string extension = Lower(walk->path().extension().string());
      if (extension == ".png") pngs.insert(walk->path().lexically_normal().string());
      if (extension == ".svg" || extension == ".svgz")
        svgs.insert(walk->path().lexically_normal().string());
    }
    if (failure) {
      error = "cannot read the folder " + folder + ": " + failure.message();
      return {};
    }
  }
  std::map<std::string, CItem> items;
  for (const std::string& svg : svgs) {
    CItem item;
    item.file = svg;
    item.kind = ImageKind::kSvg;
    fs::path reference = svg;
    reference.replace_extension();
    reference += suffix;
    std::error_code ignored;
    if (fs::is_regular_file(reference, ignored)) {
      item.reference = reference.lexically_normal().string();
      pngs.erase(item.reference);
    }
    items.emplace(svg, std::move(item));
  }
  for (const std::string& png : pngs) {
    CItem item;
    item.file = png;
    item.kind = ImageKind::kPng;
    items.emplace(png, std::move(item));
  }
  std::vector<CItem> sorted;
  for (auto& [path, item] : items) sorted.push_back(std::move(item));
  return sorted;
}

// Which side refused the file decides the verdict; a worker that ended on it crashed.
void Judge(CItem& item, const Status& worker, const std::string& workerWhy, bool reference,
           const std::string& referenceWhy) {
  if (worker.Kind() == ErrorKind::kWorkerEnded || worker.Kind() == ErrorKind::kTimedOut) {
    item.verdict = Verdict::kWorkerCrashed;
    item.reason = workerWhy;
  } else if (!worker && !reference) {
    item.verdict = Verdict::kRejectedByBoth;
    item.reason = "worker: " + workerWhy + "; reference: " + referenceWhy;
  } else if (!worker) {
    item.verdict = Verdict::kRejectedByWorker;
    item.reason = workerWhy;
  } else {
    item.verdict = Verdict::kRejectedByReference;
    item.reason = referenceWhy;
  }
}

// Compares two rasters of 4-byte pixels of the same layout.
void Compare(CItem& item, std::span<const unsigned char> worker,
             std::span<const unsigned char> reference, unsigned tolerance) {
  size_t differing = 0;
  for (size_t i = 0; i + 4 <= worker.size(); i += 4) {
    unsigned most = 0;
    for (size_t c = 0; c < 4; ++c) {
      const int difference = int{worker[i + c]} - int{reference[i + c]};
      most = std::max(most, static_cast<unsigned>(difference < 0 ? -difference : difference));
    }
    item.maxDiff = std::max(item.maxDiff, most);
    differing += most > tolerance ? 1 : 0;
  }
  const size_t pixels = worker.size() / 4;
  item.diffShare = pixels == 0 ? 0 : static_cast<double>(differing) / static_cast<double>(pixels);
  item.verdict = differing == 0 ? Verdict::kPass : Verdict::kFail;
  if (differing != 0) {
    char text[160];
    ::snprintf(text, sizeof text, "%zu of %zu pixels differ by more than %u; the most is %u",
               differing, pixels, tolerance, item.maxDiff);
    item.reason = text;
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      ::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);  // UTF-8 passes as it is; other bytes as the name has them
    }
  }
  return out + "\"";
}

std::string Json(const std::vector<CItem>& items, const std::map<Verdict, size_t>& counts) {
  std::string json = "{\"files\": [";
  for (size_t i = 0; i < items.size(); ++i) {
    const CItem& item = items[i];
    char numbers[96];
    ::snprintf(numbers, sizeof numbers, "\"max_diff\": %u, \"diff_share\": %.6f", item.maxDiff,
               item.diffShare);
    json += std::string(i == 0 ? "\n" : ",\n") + "  {\"file\": " + JsonString(item.file) +
            ", \"status\": " + JsonString(Name(item.verdict)) + ", " + numbers +
            ", \"reason\": " + JsonString(item.reason) + "}";
  }
  json += "\n], \"summary\": {";
  bool first = true;
  for (const auto& [verdict, count] : counts) {
    json +=
        std::string(first ? "" : ", ") + JsonString(Name(verdict)) + ": " + std::to_string(count);
    first = false;
  }
  return json + "}}\n";
}

// The files checked by checker threads, each with a lease of the pool's workers while the
// worker decodes; the calling thread takes the signals and reports in file order.
class CChecker {
 public:
  CChecker(const CommandLine& line, CWorkerStarter& starter, WorkerPool& pool,
           std::vector<CItem>& items)
      : line_(line), starter_(starter), pool_(pool), items_(items), done_(items.size(), false) {}

  // Checks every file and prints those that did not pass; returns how many were checked.
  size_t Run() {
    const size_t total = items_.size();
    StartCheckers(std::min(total, pool_.Size()));
    CProgress progress(total, total > 1 && CProgress::OnTerminal());
    size_t reported = 0;
    if (total != 0) progress.Show(0, items_[0].file);
    for (;;) {
      std::unique_lock lock(mutex_);
      while (reported < total && done_[reported]) {
        lock.unlock();
        const CItem& item = items_[reported++];
        if (item.verdict != Verdict::kPass) {
          progress.Clear();
          ::printf("%s: %s%s%s\n", item.file.c_str(), Name(item.verdict),
                   item.reason.empty() ? "" : ": ", item.reason.c_str());
          ::fflush(stdout);
        }
        if (reported < total) progress.Show(reported, items_[reported].file);
        lock.lock();
      }
      if (reported == total || Interrupted()) break;
      finished_.wait_for(lock, kSignalPoll);
    }
    if (Interrupted()) {
      stop_ = true;
      // Kills the workers that are busy: their checkers come back at once.
      pool_.Close();
    }
    for (std::thread& checker : checkers_) checker.join();
    return reported;
  }

 private:
  void StartCheckers(size_t count) {
    checkers_ = StartThreadsWithoutSignals(count, [this] { Checker(); });
    // Without any, this thread checks every file before it reports.
    if (checkers_.empty()) Checker();
  }

  void Checker() {
    for (;;) {
      const size_t i = next_.fetch_add(1);
      if (i >= items_.size() || stop_) return;
      CheckOne(i + 1, items_[i]);
      {
        std::lock_guard lock(mutex_);
        done_[i] = true;
      }
      finished_.notify_all();
    }
  }

  void CheckOne(uint64_t id, CItem& item) {
    if (item.kind == ImageKind::kSvg && item.reference.empty()) {
      item.verdict = Verdict::kSkipped;
      item.reason = "no reference image " + fs::path(item.file).stem().string() +
                    line_.referenceSuffix + " beside it";
      return;
    }
    CInput source;
    source.kind = item.kind;
    source.name = item.kind == ImageKind::kPng ? "input.png" : "input.svg";
    std::string error;
    if (!ReadFileBytes(item.file, source.bytes, error)) {
      item.verdict = Verdict::kFail;
      item.reason = error;
      return;
    }
    // The reference: the PNG file itself, or the SVG file's reference image.
    std::vector<std::byte> referenceBytes;
    const bool ownReference = item.kind == ImageKind::kPng;
    if (!ownReference && !ReadFileBytes(item.reference, referenceBytes, error)) {
      item.verdict = Verdict::kFail;
      item.reason = item.reference + ": " + error;
      return;
    }
    CRgbaImage reference;
    std::string referenceWhy;
    const bool referenceOk =
        DecodeReferencePng(ownReference ? std::span<const std::byte>(source.bytes) : referenceBytes,
                           line_.pixelMemory, reference, referenceWhy);
    // An SVG file is rendered at its reference's size; without one it is only tried.
    const TargetSize target =
        ownReference || !referenceOk ? TargetSize{} : TargetSize{reference.width, reference.height};

    Result<WorkerPool::Lease> lease = pool_.Acquire();
    if (!lease) {
      item.verdict = Verdict::kFail;
      item.reason = "cannot start a worker: " + lease.Error().Message();
      return;
    }
    std::string workerWhy;
    Result<LoadedImage> image = starter_.Load(lease->Images(), id, source, target, workerWhy);
    if (!image || !referenceOk) {
      if (image) (void)lease->Images().Free(id);
      Judge(item, image ? Status() : image.Error(), workerWhy, referenceOk, referenceWhy);
      return;
    }
    // The byte count too: the comparisons below read both rasters to the worker's end.
    if (image->PixelWidth() != reference.width || image->PixelHeight() != reference.height ||
        image->Pixels().size() != reference.rgba.size()) {
      item.verdict = Verdict::kFail;
      item.maxDiff = 255;
      item.diffShare = 1;
      item.reason = "the worker made " + std::to_string(image->PixelWidth()) + " x " +
                    std::to_string(image->PixelHeight()) + " pixels, the reference " +
                    std::to_string(reference.width) + " x " + std::to_string(reference.height);
    } else if (ownReference) {
      // As the worker hands pixels over: premultiplied BGRA, compared exactly.
      std::vector<std::byte> expected(reference.rgba.size());
      ToPremultipliedBgra(reference.rgba, expected.data());
      const auto pixels = image->Pixels();
      Compare(item, {reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size()},
              {reinterpret_cast<const unsigned char*>(expected.data()), expected.size()}, 0);
    } else {
      // Both sides go through premultiplied pixels, so that the colour of a faint pixel, which
      // they cannot hold, is lost on both alike.
      std::vector<std::byte> premultiplied(reference.rgba.size());
      ToPremultipliedBgra(reference.rgba, premultiplied.data());
      std::vector<unsigned char> expected(reference.rgba.size()), rendered(reference.rgba.size());
      ToStraightRgba(premultiplied, expected.data());
      ToStraightRgba(image->Pixels(), rendered.data());
      Compare(item, rendered, expected, line_.tolerance);
    }
    // A worker that cannot free is replaced before its next file.
    (void)lease->Images().Free(id);
  }

  const CommandLine& line_;
  CWorkerStarter& starter_;
  WorkerPool& pool_;
  std::vector<CItem>& items_;
  std::vector<bool> done_;  // under mutex_
  std::vector<std::thread> checkers_;
  std::atomic<size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
};

}  // namespace

int Check(const CommandLine& line, const std::string& workerPath) {
  for (const std::string& folder : line.inputs) {
    std::error_code ignored;
    if (!fs::is_directory(folder, ignored)) {
      ::fprintf(stderr, "tessel: check takes folders: %s is not one\nTry 'tessel --help'.\n",
                folder.c_str());
      return kExitUsage;
    }
  }
  std::string error;
  std::vector<CItem> items = CollectFiles(line.inputs, line.referenceSuffix, error);
  if (!error.empty()) {
    ::fprintf(stderr, "tessel: %s\n", error.c_str());
    return kExitFailed;
  }
  // Every file goes to the worker as bytes: it needs to read none of them.
  CWorkerStarter starter(
      WorkerSetup{workerPath, line.logDir, line.confinement, {}, line.pixelMemory});
  WorkerPool pool({.workers = line.jobs, .session = {}, .start = [&starter](Session& session) {
                     return starter.Start(session);
                   }});
  const size_t checked = CChecker(line, starter, pool, items).Run();
  pool.Close();
  if (const int signal = InterruptSignal()) {
    ::fprintf(stderr, "tessel: interrupted by %s: checked %zu of %zu files\n", SignalName(signal),
              checked, items.size());
    return kExitFailed;
  }

  std::map<Verdict, size_t> counts;
  for (const CItem& item : items) ++counts[item.verdict];
  ::printf("checked %zu file%s:\n", items.size(), items.size() == 1 ? "" : "s");
  for (const auto& [verdict, count] : counts) ::printf("  %-22s %zu\n", Name(verdict), count);
  ::fflush(stdout);
  int status =
      counts.contains(Verdict::kFail) || counts.contains(Verdict::kWorkerCrashed) ? kExitFailed : 0;
  if (!line.jsonFile.empty()) {
    const std::string json = Json(items, counts);
    if (!WriteOutput(
            line.jsonFile, [&json](int fd, std::string& why) { return WriteText(fd, json, why); },
            error)) {
      ::fprintf(stderr, "tessel: %s\n", error.c_str());
      status = kExitFailed;
    }
  }
  return status;
}

}  // namespace tessel::cli
