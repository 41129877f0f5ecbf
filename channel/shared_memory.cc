#include "channel/shared_memory.h"

#include <cerrno>

#include "foundation/errors.h"

namespace tessel {
namespace {

// The platform opens and maps in one call. These are the failures that can only come from
// sizing and mapping an object that was opened (the name itself is checked beforehand).
bool IsMappingError(int error) {
  return error == EINVAL || error == ENOMEM || error == ENODEV || error == EOVERFLOW ||
         error == EAGAIN;
}

}  // namespace

bool CSharedMemory::Open(std::string_view name) {
  // Opened again under the same name, the same object at the same size keeps its view.
  if (name != name_) Close();
  name_ = name;
  requestedSize_ = 0;
  if (region_.Open(name_, true, prefault_)) return true;
  const int error = errno;
  const std::string description = DescribeError(error);
  std::string path;
  if (SharedObjectPath(name_, path) && IsMappingError(error)) {
    logger_.Log(Error, "Cannot map file %s, %s, size %b",
                {LogArg::String(name_.c_str()), LogArg::String(description.c_str()),
                 LogArg::UInt32(requestedSize_)});
    return false;
  }
  logger_.Log(Error, "Cannot open shared memory, %s, %s, %b",
              {LogArg::String(name_.c_str()), LogArg::String(description.c_str()),
               LogArg::UInt32(requestedSize_)});
  if (CSharedMemoryRegion::ExistsReadOnly(name_)) logger_.Log(Debug, "File is readonly");
  return false;
}

void CSharedMemory::Close() {
  region_.Close();
  requestedSize_ = 0;
  name_.clear();
}

}  // namespace tessel
