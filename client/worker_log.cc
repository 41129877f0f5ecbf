#include "client/worker_log.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

namespace tessel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kErrorLabels[] = {"[ERROR] ", "[CRITICAL_ERROR] "};
constexpr std::string_view kLoadingError = "Loading error. ";

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

WorkerLogReader::WorkerLogReader(std::string folder, std::string sessionId)
    : folder_(std::move(folder)),
      processPrefix_("[Tessel service] [" + sessionId + "] "),
      context_("[" + sessionId + "] ") {}

std::vector<std::string> WorkerLogReader::LogFiles() const {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".log" && it->is_regular_file(error))
      files.push_back(it->path().string());
  }
  // The names are the files' creation times: name order is the order they were written in.
  std::sort(files.begin(), files.end());
  return files;
}

void WorkerLogReader::Mark() {
  marks_.clear();
  for (const std::string& file : LogFiles()) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    if (!error) marks_[file] = size;
  }
}

std::vector<std::string> WorkerLogReader::NewErrors() const {
  std::vector<std::string> errors;
  for (const std::string& file : LogFiles()) {
    const auto mark = marks_.find(file);
    std::ifstream in(file, std::ios::binary);
    if (mark != marks_.end()) in.seekg(static_cast<std::streamoff>(mark->second));
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    // A record: the header line, the message, an empty line.
    size_t at = 0;
    for (size_t end = text.find(kRecordEnd); end != std::string::npos;
         at = end + kRecordEnd.size(), end = text.find(kRecordEnd, at)) {
      const std::string_view record = std::string_view(text).substr(at, end - at);
      const size_t header = record.find(kLineEnd);
      if (header == std::string_view::npos) continue;
      std::string_view body = record.substr(header + kLineEnd.size());
      const auto label = std::find_if(std::begin(kErrorLabels), std::end(kErrorLabels),
                                      [&](std::string_view l) { return StartsWith(body, l); });
      if (label == std::end(kErrorLabels)) continue;
      body.remove_prefix(label->size());
      if (!StartsWith(body, processPrefix_)) continue;
      body.remove_prefix(processPrefix_.size());
      if (StartsWith(body, context_)) body.remove_prefix(context_.size());
      errors.emplace_back(body);
    }
  }
  return errors;
}

std::string WorkerLogReader::LastReason(std::string_view name) const {
  const std::vector<std::string> errors = NewErrors();
  const std::string nameSuffix = ", " + std::string(name);
  for (auto it = errors.rbegin(); it != errors.rend(); ++it) {
    std::string_view reason = *it;
    if (StartsWith(reason, kLoadingError)) {
      reason.remove_prefix(kLoadingError.size());
      // The SVG form names the image last.
      if (EndsWith(reason, nameSuffix)) reason.remove_suffix(nameSuffix.size());
    }
    // A codec that left both texts empty says nothing; an earlier record may.
    if (reason.find_first_not_of(", ") != std::string_view::npos) return std::string(reason);
  }
  return {};
}

}  // namespace tessel
