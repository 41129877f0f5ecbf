#include "client/cli/png_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "client/cli/input.h"
#include "platform/unique_fd.h"

namespace tessel::cli {
namespace {

constexpr size_t kSignatureSize = 8;
constexpr uint32_t kIhdrLength = 13;
constexpr uint32_t kMaxSide = 0x7fffffffu;  // the format's limit on each side

uint32_t BigEndian(const std::byte* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

// The bit depths each colour type allows: powers of two up to 16, some of them.
bool DepthAllowed(uint8_t colorType, uint8_t bitDepth) {
  if (bitDepth == 0 || bitDepth > 16 || (bitDepth & (bitDepth - 1)) != 0) return false;
  switch (colorType) {
    case 0:  // grey
      return true;
    case 3:  // palette
      return bitDepth <= 8;
    case 2:  // RGB
    case 4:  // grey and alpha
    case 6:  // RGBA
      return bitDepth >= 8;
    default:
      return false;
  }
}

}  // namespace

std::optional<PngHeader> ParsePngHeader(std::span<const std::byte> head) {
  if (head.size() < kPngHeaderSize || SniffKind(head.first(kSignatureSize)) != ImageKind::kPng)
    return std::nullopt;
  const std::byte* chunk = head.data() + kSignatureSize;
  if (BigEndian(chunk) != kIhdrLength || std::memcmp(chunk + 4, "IHDR", 4) != 0)
    return std::nullopt;
  const std::byte* data = chunk + 8;
  const uLong crc =
      ::crc32(::crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(chunk + 4), 4 + kIhdrLength);
  if (BigEndian(data + kIhdrLength) != crc) return std::nullopt;
  PngHeader header;
  header.width = BigEndian(data);
  header.height = BigEndian(data + 4);
  header.bitDepth = static_cast<uint8_t>(data[8]);
  header.colorType = static_cast<uint8_t>(data[9]);
  const auto compression = static_cast<uint8_t>(data[10]);
  const auto filter = static_cast<uint8_t>(data[11]);
  const auto interlace = static_cast<uint8_t>(data[12]);
  if (header.width == 0 || header.width > kMaxSide || header.height == 0 ||
      header.height > kMaxSide || !DepthAllowed(header.colorType, header.bitDepth) ||
      compression != 0 || filter != 0 || interlace > 1)
    return std::nullopt;
  header.interlaced = interlace == 1;
  return header;
}

std::optional<PngHeader> ReadPngHeader(const std::string& path) {
  // Non-blocking, so that opening a FIFO does not wait for a writer; it is then left alone.
  CUniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::byte head[kPngHeaderSize];
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::pread(file.Get(), head + got, sizeof head - got, off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  return ParsePngHeader(head);
}

std::string DescribePngFormat(const PngHeader& header) {
  const char* kind = header.colorType == 0   ? "grey"
                     : header.colorType == 2 ? "RGB"
                     : header.colorType == 3 ? "palette"
                     : header.colorType == 4 ? "grey and alpha"
                                             : "RGBA";
  return std::to_string(header.bitDepth) + "-bit " + kind +
         (header.interlaced ? ", interlaced" : "");
}

}  // namespace tessel::cli
