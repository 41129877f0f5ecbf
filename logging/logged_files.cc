#include "logging/logged_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "foundation/path.h"

namespace tessel {
namespace {

constexpr uint32_t kChunkedReadThreshold = 0x40000000;  // 1 GiB
constexpr uint32_t kChunkSize = 0x80000000;

uint64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

CUniqueFd OpenFileLogged(std::string_view path, int flags, int mode) {
  std::string file(path);
  CUniqueFd fd(::open(file.c_str(), flags | O_CLOEXEC, mode));
  if (!fd) {
    int error = errno;
    std::string reason = DescribeError(error);
    CLogger::Instance().Log(Error, "Can't open file %s, %s",
                            {LogArg::String(file.c_str()), LogArg::String(reason.c_str())});
    errno = error;
  }
  return fd;
}

bool ReadWholeFile(const std::string& path, HeapBlock& data, uint32_t& size, CLogger& logger,
                   std::string* why) {
  // The caller describes the failure: keep errno past the close.
  const auto fail = [why](CUniqueFd& file, const char* words = nullptr) {
    const int error = errno;
    file.Reset();
    if (why != nullptr) *why = words != nullptr ? std::string(words) : DescribeError(error);
    errno = error;
    return false;
  };
  // Not blocking in open: a FIFO would wait there for a writer.
  CUniqueFd file = OpenFileLogged(ToLongPath(path, 260), O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!file) return fail(file);
  struct stat info;
  if (::fstat(file.Get(), &info) != 0) return fail(file);
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return fail(file, S_ISDIR(info.st_mode)    ? "not a regular file: a folder"
                      : S_ISFIFO(info.st_mode) ? "not a regular file: a FIFO"
                      : S_ISCHR(info.st_mode)  ? "not a regular file: a character device"
                      : S_ISBLK(info.st_mode)  ? "not a regular file: a block device"
                                               : "not a regular file");
  }
  // Some file systems honour the flag for regular files too; reads must wait for their data.
  const int flags = ::fcntl(file.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(file);
  const uint64_t fileSize = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
  if (fileSize > UINT32_MAX) {
    // Refused rather than read short: a truncated image would decode as a different one.
    const std::string reason = DescribeError(EFBIG);
    logger.Log(Error, "Stream read buffer error, requested %b, %s",
               {LogArg::UInt64(fileSize), LogArg::String(reason.c_str())});
    errno = EFBIG;
    return fail(file);
  }
  const auto count = static_cast<uint32_t>(fileSize);
  HeapBlock block(static_cast<unsigned char*>(AllocateHeapBlock(count == 0 ? 1 : count)));
  if (!ReadExact(file.Get(), block.get(), count, logger)) return fail(file);
  data = std::move(block);
  size = count;
  return true;
}

bool ReadExact(int fd, void* buffer, uint32_t count, CLogger& logger) {
  if (count < kChunkedReadThreshold) {
    auto* at = static_cast<unsigned char*>(buffer);
    errno = 0;
    for (uint32_t done = 0; done < count;) {
      const ssize_t n = ReadRetrying(fd, at + done, count - done);
      if (n <= 0) {
        // No error: the file ended early.
        if (n == 0) errno = ENODATA;
        const std::string reason = DescribeLastError();
        logger.Log(Error, "Stream read buffer error, requested %b, %s",
                   {LogArg::UInt64(count), LogArg::String(reason.c_str())});
        return false;
      }
      done += static_cast<uint32_t>(n);
    }
    return true;
  }

  const bool timed = count > kChunkedReadThreshold;
  const uint64_t start = timed ? NowMs() : 0;
  auto* at = static_cast<unsigned char*>(buffer);
  uint64_t total = 0;
  errno = 0;
  for (;;) {
    const uint64_t remaining = count - total;
    const ssize_t n = ReadRetrying(fd, at, remaining < kChunkSize ? remaining : kChunkSize);
    if (n < 0) return false;
    total += static_cast<uint64_t>(n);
    if (total >= count) return true;
    at += n;
    if (n == 0) break;
  }
  const int error = errno == 0 ? ENODATA : errno;
  logger.Log(Error, "Zero read");
  if (timed) {
    const uint64_t elapsed = NowMs() - start;
    char span[48];
    std::snprintf(span, sizeof span, "%.2d:%.2d:%.2d:%.3d", static_cast<int>(elapsed / 3600000),
                  static_cast<int>(elapsed / 60000 % 60), static_cast<int>(elapsed / 1000 % 60),
                  static_cast<int>(elapsed % 1000));
    const double rate =
        elapsed == 0 ? 0.0 : (static_cast<double>(total) / 1048576.0) / (elapsed / 1000.0);
    logger.Log(
        Debug, "Read buffer, requested %b, read %b, %s, MB/s %2.3f",
        {LogArg::UInt64(count), LogArg::UInt64(total), LogArg::String(span), LogArg::Double(rate)});
  }
  const std::string reason = DescribeError(error);
  logger.Log(Error, "Stream read buffer error, requested %b, read %b, %s",
             {LogArg::UInt64(count), LogArg::UInt64(total), LogArg::String(reason.c_str())});
  return false;
}

}  // namespace tessel
