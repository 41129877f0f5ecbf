#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/mapping.h"
#include "platform/unique_fd.h"

namespace tessel {

// The shm_open() path for an object name: "/" + name. False (errno EINVAL) when the name is
// empty, holds a '/' or a NUL, or is too long to be one path component with the '/' in front.
bool SharedObjectPath(std::string_view name, std::string& path);

// Where the object of that name lives in the file system ("/dev/shm/" + name), for rules that
// name files; empty when the name is not valid.
std::string SharedObjectFile(std::string_view name);

// Bytes still free where shared objects live (/dev/shm); 0 when unknown.
uint64_t SharedMemoryAvailable();

// When the pages of a new mapping are faulted in: all at once when it is made, or one by one as
// they are first touched.
enum class Prefault { kWhole, kOnTouch };

// A named POSIX shared-memory object mapped whole into this process.
//
// The creator fixes the size; an opener maps whatever size the object really has (fstat), never
// a size that a peer wrote somewhere, so a peer cannot make us read or write past the mapping by
// lying about it. The descriptor is closed once the object is mapped: the mapping keeps the
// object alive, also after its name has been unlinked and reused for a new object.
//
// Failures return false with errno set to the cause, for the caller to log.
class CSharedMemoryRegion {
 public:
  CSharedMemoryRegion() = default;
  CSharedMemoryRegion(const CSharedMemoryRegion&) = delete;
  CSharedMemoryRegion& operator=(const CSharedMemoryRegion&) = delete;
  CSharedMemoryRegion(CSharedMemoryRegion&&) noexcept = default;
  CSharedMemoryRegion& operator=(CSharedMemoryRegion&&) noexcept = default;
  ~CSharedMemoryRegion() = default;

  // Creates a new object of `size` bytes with mode 0600 (only our user may open it) and maps it
  // for reading and writing. Fails with EEXIST when the name is taken, and with ENOSPC when its
  // pages cannot all be had now (they are taken at once, so that no access can fault later).
  // The contents start zeroed. With kWhole the mapping is faulted in whole when it is made (where
  // the kernel can), so that the first pass over it pays no fault per page. kOnTouch suits a
  // region of which most uses touch a few pages: nothing is taken or faulted in, and the pages
  // are only sure to exist once Reserve() has succeeded.
  bool Create(std::string_view name, size_t size, Prefault prefault = Prefault::kWhole);

  // The creator only: takes every page of the object now, so that no access can fault on a full
  // tmpfs later. Fails with ENOSPC when they cannot be had, EBADF on a region not created here.
  bool Reserve();

  // The creator only: gives the same object (same inode, so whoever may open it still may) a new
  // size and maps it anew. Bytes up to the smaller size stay. Fails with EBADF on a region that
  // was opened rather than created, and with ENOSPC when the pages cannot be had; the region then
  // keeps its old size.
  bool Resize(size_t size);

  // Maps an existing object whole, for reading and writing or for reading only. An object of
  // size 0 cannot be mapped and fails with EINVAL. When the region maps that very object (same
  // inode) already, at the size it has now and with the same access, the view is kept as it is:
  // its pages stay mapped. A failure leaves the region closed.
  bool Open(std::string_view name, bool writable, Prefault prefault = Prefault::kWhole);

  // Unmaps; safe on a closed region.
  void Close();

  bool IsOpen() const { return mapping_.Valid(); }
  bool IsWritable() const { return writable_; }
  void* Data() const { return mapping_.Address(); }
  // The mapped size: the object's real size when it was mapped.
  size_t Size() const { return mapping_.Length(); }

  // Removes the name. Processes that have the object mapped keep their view.
  static bool Unlink(std::string_view name);

  // True when the object exists and can be opened for reading. After a failed writable Open this
  // tells "exists but read-only" apart from the other failures. errno is left unchanged.
  static bool ExistsReadOnly(std::string_view name);

 private:
  bool MapOrKeep(std::string_view name, bool writable, Prefault prefault);

  CMapping mapping_;
  CUniqueFd owner_;  // the creator's descriptor, kept for Resize
  bool writable_ = false;
  struct stat identity_ {};  // device and inode of the mapped object
};

}  // namespace tessel
