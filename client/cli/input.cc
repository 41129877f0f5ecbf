#include "client/cli/input.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "client/cli/command_line.h"
#include "client/cli/interrupt.h"
#include "client/session.h"
#include "foundation/text.h"
#include "platform/unique_fd.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;

constexpr unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// What a Load can carry as bytes, and what the worker reads of a file.
constexpr uint64_t kMaxInput = UINT32_MAX;
constexpr size_t kChunk = 1 << 16;

ImageKind KindOfExtension(const std::string& input) {
  std::string extension = fs::path(input).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".png") return ImageKind::kPng;
  if (extension == ".svg") return ImageKind::kSvg;
  return ImageKind::kUnknown;
}

std::string Reason(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Everything `fd` holds, up to kMaxInput bytes.
bool ReadAll(int fd, std::vector<std::byte>& bytes, std::string& error) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && uint64_t(info.st_size) <= kMaxInput)
    bytes.reserve(static_cast<size_t>(info.st_size));
  for (;;) {
    const size_t done = bytes.size();
    bytes.resize(done + kChunk);
    const ssize_t got = ::read(fd, bytes.data() + done, kChunk);
    bytes.resize(done + std::max<ssize_t>(got, 0));
    if (got == 0) return true;
    if (got < 0 && errno == EINTR && !Interrupted()) continue;
    if (got < 0) {
      error = Interrupted() ? "interrupted while reading it" : "cannot read it: " + Reason(errno);
      return false;
    }
    if (bytes.size() > kMaxInput) {
      error = "it is larger than 4 GiB, more than the worker takes";
      return false;
    }
  }
}

// A FIFO blocks here until it has a writer; a signal ends the wait.
bool Open(const std::string& path, CUniqueFd& file, std::string& error) {
  do {
    file.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  } while (!file && errno == EINTR && !Interrupted());
  if (!file) {
    error = Interrupted() ? "interrupted while opening it" : "cannot read it: " + Reason(errno);
    return false;
  }
  return true;
}

}  // namespace

ImageKind SniffKind(std::span<const std::byte> head) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(head[i]); };
  if (head.size() >= sizeof kPngSignature &&
      std::equal(std::begin(kPngSignature), std::end(kPngSignature), head.begin(),
                 [](unsigned char a, std::byte b) { return a == static_cast<unsigned char>(b); }))
    return ImageKind::kPng;
  if (head.size() >= 2 && at(0) == 0x1f && at(1) == 0x8b) return ImageKind::kSvg;
  size_t i = head.size() >= 3 && at(0) == 0xef && at(1) == 0xbb && at(2) == 0xbf ? 3 : 0;
  while (i < head.size() && std::isspace(at(i))) ++i;
  return i < head.size() && at(i) == '<' ? ImageKind::kSvg : ImageKind::kUnknown;
}

const char* KindName(ImageKind kind) {
  return kind == ImageKind::kPng ? "PNG" : kind == ImageKind::kSvg ? "SVG" : "unknown";
}

std::optional<std::string> PathForWorker(const std::string& input) {
  if (input == kStandardStream || KindOfExtension(input) == ImageKind::kUnknown) return {};
  std::error_code error;
  const fs::path absolute = fs::absolute(input, error);
  if (error || !fs::is_regular_file(absolute, error) ||
      fs::file_size(absolute, error) <= kLargeInput)
    return {};
  // The worker is told UTF-16: a name that does not convert cannot be opened by it.
  if (AnsiToWide(absolute.string()).find(u'\xfffd') != std::u16string::npos) return {};
  return absolute.string();
}

bool ReadInput(const std::string& input, CInput& out, std::string& error) {
  out = CInput{};
  CUniqueFd file;
  if (input != kStandardStream && !Open(input, file, error)) return false;
  const int fd = file ? file.Get() : STDIN_FILENO;
  if (const std::optional<std::string> path = PathForWorker(input)) {
    std::byte head[64];
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    const ImageKind kind =
        SniffKind(std::span(head, static_cast<size_t>(std::max<ssize_t>(got, 0))));
    if (kind == KindOfExtension(input)) {
      out.kind = kind;
      out.name = *path;
      out.byPath = true;
      return true;
    }
  }
  if (!ReadAll(fd, out.bytes, error)) return false;
  if (out.bytes.empty()) {
    error = "it is empty";
    return false;
  }
  out.kind = SniffKind(out.bytes);
  if (out.kind == ImageKind::kUnknown) {
    error = "not a PNG or SVG image";
    return false;
  }
  out.name = out.kind == ImageKind::kPng ? "input.png" : "input.svg";
  return true;
}

bool ReadFileBytes(const std::string& path, std::vector<std::byte>& bytes, std::string& error) {
  bytes.clear();
  CUniqueFd file;
  return Open(path, file, error) && ReadAll(file.Get(), bytes, error);
}

std::string DisplayName(const std::string& input) {
  return input == kStandardStream ? "standard input" : input;
}

}  // namespace tessel::cli
