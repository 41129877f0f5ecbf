#include "client/worker_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/unique_fd.h"
#include "wire/environment.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kTagMark = ", SID ";
constexpr std::string_view kLevelLabels[] = {"[DEBUG] ",          "[WARNING] ",     "[ERROR] ",
                                             "[CRITICAL_ERROR] ", "[ERROR_DEBUG] ", "[TRACE] "};
constexpr std::string_view kErrorLabels[] = {"[ERROR] ", "[CRITICAL_ERROR] "};
constexpr std::string_view kLoadingError = "Loading error. ";
constexpr std::string_view kPrivilegeTestPassed = "Privilege test OK";
constexpr std::string_view kPrivilegeTestFailed = "Privilege test failed";
constexpr std::string_view kMandatoryLevel = "Mandatory level: ";
constexpr std::string_view kPrivileges = "Privileges: ";

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Removes `start` from the front of `text` when it is there.
bool Consume(std::string_view& text, std::string_view start) {
  if (!StartsWith(text, start)) return false;
  text.remove_prefix(start.size());
  return true;
}

std::string_view WithoutLevel(std::string_view body) {
  for (std::string_view label : kLevelLabels) {
    if (Consume(body, label)) break;
  }
  return body;
}

// Appends to `text` what follows `from` in the regular file at `path`, at most `limit` bytes of
// it, taken from the end. Returns how many bytes it read.
uint64_t ReadTail(const std::string& path, uint64_t from, uint64_t limit, std::string& text) {
  // Not following a link and not waiting on a FIFO: the worker names what lies in its folder.
  const CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat about {};
  if (!fd || ::fstat(fd.Get(), &about) != 0 || !S_ISREG(about.st_mode)) return 0;
  const auto size = static_cast<uint64_t>(about.st_size);
  if (from >= size) return 0;
  const uint64_t start = std::max(from, size - std::min(size, limit));
  text.resize(static_cast<size_t>(size - start));
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n =
        ::pread(fd.Get(), text.data() + got, text.size() - got, static_cast<off_t>(start + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  if (start > from) {
    // Cut inside a record: what comes before the first record end is only its tail.
    const size_t end = text.find(kRecordEnd);
    text.erase(0, end == std::string::npos ? text.size() : end + kRecordEnd.size());
  }
  return got;
}

}  // namespace

WorkerLogReader::WorkerLogReader(std::string folder, std::string sessionId)
    : folder_(std::move(folder)),
      processPrefix_(WorkerLogPrefix(sessionId)),
      context_("[" + sessionId + "] ") {}

std::vector<std::string> WorkerLogReader::LogFiles() const {
  std::vector<std::string> files;
  // The names are the files' creation times: name order is the order they were written in.
  auto keepNewest = [&files] {
    std::sort(files.begin(), files.end());
    if (files.size() > kMaxLogFiles) files.erase(files.begin(), files.end() - kMaxLogFiles);
  };
  std::error_code error;
  for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() != ".log" || !it->is_regular_file(error)) continue;
    files.push_back(it->path().string());
    if (files.size() == 2 * kMaxLogFiles) keepNewest();
  }
  keepNewest();
  return files;
}

std::vector<std::string> WorkerLogReader::ReadLogs(bool fromMarks) const {
  const std::vector<std::string> files = LogFiles();
  std::vector<std::string> texts;
  uint64_t left = kMaxLogBytes;
  // Newest first, so that what the limit leaves out is the oldest.
  for (auto file = files.rbegin(); file != files.rend() && left != 0; ++file) {
    uint64_t from = 0;
    if (const auto mark = marks_.find(*file); fromMarks && mark != marks_.end())
      from = mark->second;
    std::string text;
    left -= ReadTail(*file, from, left, text);
    if (!text.empty()) texts.push_back(std::move(text));
  }
  std::reverse(texts.begin(), texts.end());
  return texts;
}

std::vector<WorkerLogReader::Record> WorkerLogReader::SplitRecords(
    const std::vector<std::string>& texts) {
  std::vector<Record> records;
  for (const std::string& text : texts) {
    // A record: the header line, the message, an empty line.
    size_t at = 0;
    for (size_t end = text.find(kRecordEnd); end != std::string::npos;
         at = end + kRecordEnd.size(), end = text.find(kRecordEnd, at)) {
      const std::string_view record = std::string_view(text).substr(at, end - at);
      const size_t lineEnd = record.find(kLineEnd);
      if (lineEnd == std::string_view::npos) continue;
      std::string_view header = record.substr(0, lineEnd);
      const size_t tag = header.rfind(kTagMark);
      if (tag == std::string_view::npos || !EndsWith(header, ":")) continue;
      header.remove_suffix(1);
      records.push_back(
          {header.substr(tag + kTagMark.size()), record.substr(lineEnd + kLineEnd.size())});
    }
  }
  return records;
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
  const std::vector<std::string> texts = ReadLogs(true);
  std::vector<std::string> errors;
  for (const Record& record : SplitRecords(texts)) {
    std::string_view body = record.body;
    const bool error = std::any_of(std::begin(kErrorLabels), std::end(kErrorLabels),
                                   [&](std::string_view label) { return Consume(body, label); });
    if (!error || !Consume(body, processPrefix_)) continue;
    Consume(body, context_);
    errors.emplace_back(body);
  }
  return errors;
}

std::optional<WorkerSelfReport> WorkerLogReader::ReadSelfReport() const {
  const std::vector<std::string> texts = ReadLogs(true);
  const std::vector<Record> records = SplitRecords(texts);
  // The worker's first record with our prefix tells its process tag. The privilege test comes
  // before the prefix is set, so it is known by that tag alone: the last such record of that
  // tag before the first prefixed one, should an earlier process have drawn the same tag.
  const auto first = std::find_if(records.begin(), records.end(), [&](const Record& record) {
    return StartsWith(WithoutLevel(record.body), processPrefix_);
  });
  if (first == records.end()) return std::nullopt;
  const std::string_view tag = first->tag;
  std::optional<bool> passed;
  for (auto record = std::make_reverse_iterator(first); record != records.rend() && !passed;
       ++record) {
    if (record->tag != tag) continue;
    const std::string_view body = WithoutLevel(record->body);
    if (body == kPrivilegeTestPassed || body == kPrivilegeTestFailed)
      passed = body == kPrivilegeTestPassed;
  }
  std::optional<std::string_view> level, privileges;
  for (auto record = first; record != records.end() && !(level && privileges); ++record) {
    std::string_view body = WithoutLevel(record->body);
    if (record->tag != tag || !Consume(body, processPrefix_)) continue;
    Consume(body, context_);
    if (!level && Consume(body, kMandatoryLevel)) level = body;
    if (!privileges && Consume(body, kPrivileges)) privileges = body;
  }
  if (!passed || !level || !privileges) return std::nullopt;
  return WorkerSelfReport{*passed, std::string(*level), std::string(*privileges)};
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
