#include "client/cli/png_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tessel::cli {

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
