#include "platform/shared_memory_region.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "platform/unique_fd.h"

namespace tessel {

bool SharedObjectPath(std::string_view name, std::string& path) {
  // The '/' we put in front must still fit into one path component.
  if (name.empty() || name.size() > NAME_MAX - 1 || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return false;
  }
  path.resize(name.size() + 1);
  path[0] = '/';
  name.copy(path.data() + 1, name.size());
  return true;
}

uint64_t SharedMemoryAvailable() {
  struct statvfs info;
  if (::statvfs("/dev/shm", &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

std::string SharedObjectFile(std::string_view name) {
  std::string path;
  if (!SharedObjectPath(name, path)) return {};
  return "/dev/shm" + path;
}

namespace {

// Takes every page of the object now: on a full tmpfs a page first touched through a mapping
// raises SIGBUS in whichever process touches it, while this fails with ENOSPC, here.
bool TakePages(int fd, size_t size) {
  const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc != 0) errno = rc;
  return rc == 0;
}

// Faults every page of a fresh mapping in now, in one call, instead of one fault per page at
// first touch; a kernel without MADV_POPULATE_* (before 5.14) just leaves that to first touch.
void FaultIn(void* address, size_t size, bool writable) {
#if defined(MADV_POPULATE_WRITE) && defined(MADV_POPULATE_READ)
  const int error = errno;
  ::madvise(address, size, writable ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
  errno = error;
#else
  (void)address, (void)size, (void)writable;
#endif
}

CMapping MapWhole(int fd, size_t size, bool writable, Prefault prefault = Prefault::kWhole) {
  int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return {};
  if (prefault == Prefault::kWhole) FaultIn(address, size, writable);
  return CMapping(address, size);
}

bool SameObject(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool CSharedMemoryRegion::Create(std::string_view name, size_t size, Prefault prefault) {
  Close();
  std::string path;
  if (!SharedObjectPath(name, path)) return false;
  if (size == 0) {
    errno = EINVAL;
    return false;
  }
  if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EFBIG;
    return false;
  }
  CUniqueFd fd(::shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600));
  if (!fd) return false;
  CMapping mapping;
  if (::ftruncate(fd.Get(), static_cast<off_t>(size)) == 0 &&
      (prefault == Prefault::kOnTouch || TakePages(fd.Get(), size)))
    mapping = MapWhole(fd.Get(), size, true, prefault);
  if (!mapping.Valid()) {
    // Nobody can use a half-made object; do not leave the name taken.
    int error = errno;
    ::shm_unlink(path.c_str());
    errno = error;
    return false;
  }
  ::fstat(fd.Get(), &identity_);
  mapping_ = std::move(mapping);
  owner_ = std::move(fd);
  writable_ = true;
  return true;
}

bool CSharedMemoryRegion::Reserve() {
  if (!owner_) {
    errno = EBADF;
    return false;
  }
  return TakePages(owner_.Get(), mapping_.Length());
}

bool CSharedMemoryRegion::Resize(size_t size) {
  const size_t previous = mapping_.Length();
  mapping_.Reset();
  if (!owner_) {
    errno = EBADF;
    return false;
  }
  if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = size == 0 ? EINVAL : EFBIG;
    return false;
  }
  if (::ftruncate(owner_.Get(), static_cast<off_t>(size)) != 0 || !TakePages(owner_.Get(), size)) {
    // Back to the size whose pages were all there, so that the region stays usable.
    const int error = errno;
    if (previous != 0 && ::ftruncate(owner_.Get(), static_cast<off_t>(previous)) == 0)
      mapping_ = MapWhole(owner_.Get(), previous, true);
    errno = error;
    return false;
  }
  mapping_ = MapWhole(owner_.Get(), size, true);
  return mapping_.Valid();
}

bool CSharedMemoryRegion::Open(std::string_view name, bool writable, Prefault prefault) {
  if (MapOrKeep(name, writable, prefault)) return true;
  const int error = errno;
  Close();
  errno = error;
  return false;
}

bool CSharedMemoryRegion::MapOrKeep(std::string_view name, bool writable, Prefault prefault) {
  std::string path;
  if (!SharedObjectPath(name, path)) return false;
  CUniqueFd fd(::shm_open(path.c_str(), writable ? O_RDWR : O_RDONLY, 0));
  if (!fd) return false;
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) return false;
  if (IsOpen() && writable == writable_ && SameObject(info, identity_) &&
      static_cast<uint64_t>(info.st_size) == Size()) {
    return true;
  }
  Close();
  if (info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > std::numeric_limits<size_t>::max()) {
    errno = EINVAL;
    return false;
  }
  CMapping mapping = MapWhole(fd.Get(), static_cast<size_t>(info.st_size), writable, prefault);
  if (!mapping.Valid()) return false;
  identity_ = info;
  mapping_ = std::move(mapping);
  writable_ = writable;
  return true;
}

void CSharedMemoryRegion::Close() {
  mapping_.Reset();
  owner_.Reset();
  writable_ = false;
  identity_ = {};
}

bool CSharedMemoryRegion::Unlink(std::string_view name) {
  std::string path;
  if (!SharedObjectPath(name, path)) return false;
  return ::shm_unlink(path.c_str()) == 0;
}

bool CSharedMemoryRegion::ExistsReadOnly(std::string_view name) {
  int error = errno;
  std::string path;
  bool readable = false;
  if (SharedObjectPath(name, path)) {
    CUniqueFd fd(::shm_open(path.c_str(), O_RDONLY, 0));
    readable = fd.Valid();
  }
  errno = error;
  return readable;
}

}  // namespace tessel
