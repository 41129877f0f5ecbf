#include "platform/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/shared_memory_region.h"
#include "platform/unique_fd.h"

namespace tessel {
namespace {

// Where shm_open keeps its objects; link(2) needs the real paths.
constexpr const char* kShmDirectory = "/dev/shm";
// "TSLMUTX" + layout version: tells our mutex from any other object that happens to have the name.
constexpr uint64_t kMagic = 0x54534C4D55545801ull;
// Temporary names taken by a dead process that had our pid are skipped, but not without end.
constexpr int kTemporaryNameAttempts = 16;
// The published object may be removed between our failed link and our open.
constexpr int kPublishAttempts = 4;

struct SharedMutex {
  uint64_t magic;  // written last, after the mutex is initialised
  pthread_mutex_t mutex;
};

size_t ObjectSize() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

CMapping MapObject(int fd) {
  size_t size = ObjectSize();
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return {};
  return CMapping(address, size);
}

bool InitialiseMutex(SharedMutex* shared) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc == 0) rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  if (rc == 0) rc = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  std::atomic_ref<uint64_t>(shared->magic).store(kMagic, std::memory_order_release);
  return true;
}

// Builds a complete mutex object under a fresh temporary name that nobody else knows.
bool BuildUnpublished(const std::string& shmName, mode_t mode, std::string* tempName,
                      CMapping* mapping) {
  static std::atomic<unsigned> counter{0};
  CUniqueFd fd;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !fd; ++attempt) {
    *tempName = shmName + "~" + std::to_string(getpid()) + "." + std::to_string(counter++);
    fd.Reset(shm_open(tempName->c_str(), O_RDWR | O_CREAT | O_EXCL, mode));
    if (!fd && errno != EEXIST) return false;
  }
  if (!fd) return false;
  // The umask must not change who may open the mutex: the mode is the caller's security choice.
  bool built =
      fchmod(fd.Get(), mode) == 0 && ftruncate(fd.Get(), static_cast<off_t>(ObjectSize())) == 0 &&
      (*mapping = MapObject(fd.Get())).Valid() && InitialiseMutex(mapping->As<SharedMutex>());
  if (!built) {
    int error = errno;
    mapping->Reset();
    shm_unlink(tempName->c_str());
    errno = error;
  }
  return built;
}

}  // namespace

bool CNamedMutex::Open(std::string_view name) {
  Close();
  std::string shmName;
  if (!SharedObjectPath(name, shmName)) return false;
  CUniqueFd fd(shm_open(shmName.c_str(), O_RDWR, 0));
  if (!fd) return false;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return false;
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    errno = EACCES;
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(ObjectSize())) {
    errno = EINVAL;
    return false;
  }
  CMapping mapping = MapObject(fd.Get());
  if (!mapping.Valid()) return false;
  if (std::atomic_ref<uint64_t>(mapping.As<SharedMutex>()->magic).load(std::memory_order_acquire) !=
      kMagic) {
    errno = EINVAL;
    return false;
  }
  mapping_ = std::move(mapping);
  return true;
}

// The object is built completely under a temporary name and only then published under the real
// one with link(2), which fails if the name exists. So no process can ever open a half-built
// mutex, two creators racing end up on the one that was linked first, and a creator that dies
// midway leaves at most its temporary name, never a broken mutex under the real one.
bool CNamedMutex::Create(std::string_view name, mode_t mode) {
  Close();
  std::string shmName;
  if (!SharedObjectPath(name, shmName)) return false;
  const std::string target = kShmDirectory + shmName;
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    std::string tempName;
    CMapping mapping;
    if (!BuildUnpublished(shmName, mode, &tempName, &mapping)) return false;
    int rc = link((kShmDirectory + tempName).c_str(), target.c_str());
    int linkError = errno;
    shm_unlink(tempName.c_str());
    if (rc == 0) {
      mapping_ = std::move(mapping);
      return true;
    }
    if (linkError != EEXIST) {
      errno = linkError;
      return false;
    }
    // Someone else published first: share theirs, unless it was removed again meanwhile.
    if (Open(name)) return true;
    if (errno != ENOENT) return false;
  }
  return false;
}

CNamedMutex::WaitResult CNamedMutex::Wait(std::chrono::milliseconds timeout) {
  if (!IsOpen()) {
    errno = EBADF;
    return WaitResult::Failed;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const int64_t ms = timeout.count() > 0 ? timeout.count() : 0;
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_t* mutex = &mapping_.As<SharedMutex>()->mutex;
  int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  switch (rc) {
    case 0:
      return WaitResult::Granted;
    case EOWNERDEAD:
      // The previous holder died holding it. We hold it now; marking it consistent keeps it
      // usable for everyone, and the caller learns of the death through Abandoned.
      rc = pthread_mutex_consistent(mutex);
      if (rc == 0) return WaitResult::Abandoned;
      pthread_mutex_unlock(mutex);
      break;
    case ETIMEDOUT:
      return WaitResult::TimedOut;
    default:
      break;
  }
  errno = rc;
  return WaitResult::Failed;
}

bool CNamedMutex::Release() {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  int rc = pthread_mutex_unlock(&mapping_.As<SharedMutex>()->mutex);
  if (rc != 0) errno = rc;
  return rc == 0;
}

bool CNamedMutex::Remove(std::string_view name) {
  std::string shmName;
  if (!SharedObjectPath(name, shmName)) return false;
  return shm_unlink(shmName.c_str()) == 0;
}

}  // namespace tessel
