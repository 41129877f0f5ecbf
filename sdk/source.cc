#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <istream>
#include <new>
#include <string_view>

#include "client/png_header.h"
#include "foundation/files.h"
#include "platform/unique_fd.h"
#include "sdk/internal.h"

namespace tessel {
namespace {

// What one load can carry: the length of the bytes is a 32-bit field of the protocol.
constexpr size_t kMaxSourceBytes = UINT32_MAX;

bool StartsWith(std::span<const std::byte> bytes, size_t at, std::string_view text) {
  return bytes.size() - at >= text.size() &&
         std::memcmp(bytes.data() + at, text.data(), text.size()) == 0;
}

bool EndsWithFolded(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(name[name.size() - suffix.size() + i])) !=
        suffix[i])
      return false;
  }
  return true;
}

LoadError ReadAll(int fd, const std::string& name, std::vector<std::byte>& out) {
  std::byte chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ReadRetrying(fd, chunk, sizeof chunk);
    if (got < 0) {
      return LoadError(ErrorCode::kSystem, "cannot read " + name + ": " + std::strerror(errno));
    }
    if (got == 0) return LoadError();
    if (out.size() + static_cast<size_t>(got) > kMaxSourceBytes) {
      return LoadError(ErrorCode::kTooLarge,
                       name + " has more than 4 GiB - 1 bytes, the most a load can carry");
    }
    try {
      out.insert(out.end(), chunk, chunk + got);
    } catch (const std::bad_alloc&) {
      return LoadError(ErrorCode::kSystem, "no memory for the bytes of " + name);
    }
  }
}

LoadError ReadPath(const std::string& path, std::vector<std::byte>& out) {
  if (path.empty()) return LoadError(ErrorCode::kInvalidArgument, "the path is empty");
  CUniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!file) {
    const int error = errno;
    return LoadError(
        error == ENOENT || error == ENOTDIR ? ErrorCode::kNotFound : ErrorCode::kSystem,
        "cannot open " + path + ": " + std::strerror(error));
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) == 0 && S_ISDIR(info.st_mode))
    return LoadError(ErrorCode::kInvalidArgument, path + " is a folder");
  return ReadAll(file.Get(), path, out);
}

LoadError ReadStream(std::istream& stream, const std::string& name, std::vector<std::byte>& out) {
  char chunk[64 * 1024];
  while (stream) {
    stream.read(chunk, sizeof chunk);
    const auto got = static_cast<size_t>(stream.gcount());
    if (out.size() + got > kMaxSourceBytes) {
      return LoadError(ErrorCode::kTooLarge,
                       name + " has more than 4 GiB - 1 bytes, the most a load can carry");
    }
    try {
      const auto* bytes = reinterpret_cast<const std::byte*>(chunk);
      out.insert(out.end(), bytes, bytes + got);
    } catch (const std::bad_alloc&) {
      return LoadError(ErrorCode::kSystem, "no memory for the bytes of " + name);
    }
  }
  if (stream.bad())
    return LoadError(ErrorCode::kSystem, "cannot read " + name + " from its stream");
  return LoadError();
}

}  // namespace

ImageFormat SniffFormat(std::span<const std::byte> head) {
  if (HasPngSignature(head)) return ImageFormat::kPng;
  // A compressed SVG document: the worker's SVG library inflates it itself.
  if (StartsWith(head, 0, "\x1f\x8b")) return ImageFormat::kSvg;
  size_t at = StartsWith(head, 0, "\xef\xbb\xbf") ? 3 : 0;
  while (at < head.size() && std::isspace(static_cast<unsigned char>(head[at]))) ++at;
  for (std::string_view start : {"<?xml", "<svg", "<!--", "<!DOCTYPE svg"}) {
    if (StartsWith(head, at, start)) return ImageFormat::kSvg;
  }
  return ImageFormat::kAuto;
}

Source::Source() : impl_(std::make_unique<Impl>()) {}
Source::~Source() = default;
Source::Source(const Source& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
Source& Source::operator=(const Source& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}
Source::Source(Source&& other) noexcept
    : impl_(std::exchange(other.impl_, std::make_unique<Impl>())) {}
Source& Source::operator=(Source&& other) noexcept {
  std::swap(impl_, other.impl_);
  return *this;
}

Source Source::FromPath(std::string path) {
  Source source;
  source.impl_->kind = Impl::Kind::kPath;
  source.impl_->name = path;
  source.impl_->path = std::move(path);
  return source;
}

Source Source::FromBytes(std::span<const std::byte> bytes) {
  return FromBytes(std::vector<std::byte>(bytes.begin(), bytes.end()));
}

Source Source::FromBytes(std::vector<std::byte> bytes) {
  Source source;
  source.impl_->kind = Impl::Kind::kBytes;
  source.impl_->bytes = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
  return source;
}

Source Source::FromFd(int fd) {
  Source source;
  source.impl_->kind = Impl::Kind::kFd;
  source.impl_->fd = fd;
  source.impl_->name = "descriptor " + std::to_string(fd);
  return source;
}

Source Source::FromStream(std::istream& stream) {
  Source source;
  source.impl_->kind = Impl::Kind::kStream;
  source.impl_->stream = &stream;
  source.impl_->name = "stream";
  return source;
}

Source& Source::Format(ImageFormat format) {
  impl_->format = format;
  return *this;
}

Source& Source::Name(std::string name) {
  impl_->name = std::move(name);
  return *this;
}

LoadError Read(const Source& source, ReadSource& out) {
  const Source::Impl& in = SourceAccess::Of(source);
  out = ReadSource{};
  out.name = in.name.empty() ? "the image" : in.name;
  if (in.kind == Source::Impl::Kind::kBytes) {
    if (!in.bytes || in.bytes->size() > kMaxSourceBytes)
      return LoadError(ErrorCode::kTooLarge, out.name + " has more than 4 GiB - 1 bytes");
    out.bytes = in.bytes;
  } else {
    auto bytes = std::make_shared<std::vector<std::byte>>();
    LoadError read;
    switch (in.kind) {
      case Source::Impl::Kind::kPath:
        read = ReadPath(in.path, *bytes);
        break;
      case Source::Impl::Kind::kFd:
        read = in.fd < 0 ? LoadError(ErrorCode::kInvalidArgument, "the descriptor is negative")
                         : ReadAll(in.fd, out.name, *bytes);
        break;
      case Source::Impl::Kind::kStream:
        read = ReadStream(*in.stream, out.name, *bytes);
        break;
      case Source::Impl::Kind::kBytes:
        break;
    }
    if (!read) return read;
    out.bytes = std::move(bytes);
  }
  out.format = in.format != ImageFormat::kAuto ? in.format : SniffFormat(*out.bytes);
  if (out.format == ImageFormat::kAuto) {
    return LoadError(ErrorCode::kUnsupportedFormat,
                     out.name + " is neither a PNG nor an SVG image (judged by its first bytes)");
  }
  // The worker chooses its decoder by the extension: a name of the caller's that has the right
  // one stays, for the worker's log.
  const std::string_view extension = out.format == ImageFormat::kPng ? ".png" : ".svg";
  const std::string_view base = std::string_view(in.name).substr(in.name.rfind('/') + 1);
  out.workerName =
      EndsWithFolded(base, extension) ? std::string(base) : "image" + std::string(extension);
  return LoadError();
}

}  // namespace tessel
