#include "channel/extended_region.h"

#include "wire/control_block.h"
#include "wire/object_names.h"

namespace tessel {

void CExtendedRegion::SetSession(std::string_view sessionId) {
  name_ = ObjectName(kExtendedRegionSuffix, sessionId);
}

bool CExtendedRegion::Open() {
  if (region_ == nullptr) region_ = std::make_unique<CSharedMemory>(log_.Logger());
  if (region_->Open(name_)) return true;
  log_.Write(Error, "Cannot open %s", {LogArg::String(name_.c_str())});
  return false;
}

}  // namespace tessel
