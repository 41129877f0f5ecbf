#include "channel/parent_process.h"

#include <sys/types.h>

#include "foundation/errors.h"

namespace tessel {

bool CParentProcess::Open(uint32_t processId) {
  if (watch_.IsWatching()) return false;
  processId_ = processId;
  // An identifier above INT_MAX turns negative here, which the watch refuses.
  if (watch_.Open(static_cast<pid_t>(processId))) return true;
  const std::string description = DescribeLastError();
  logger_.Log(Error, "Can't open parent process %d, %s",
              {LogArg::UInt32(processId), LogArg::String(description.c_str())});
  return false;
}

bool CParentProcess::IsAlive() const {
  if (!watch_.IsWatching()) return true;
  switch (watch_.IsAlive()) {
    case CProcessWatch::State::Running:
      return true;
    case CProcessWatch::State::Ended:
      return false;
    case CProcessWatch::State::Failed:
      break;
  }
  // Not knowing is no reason to stop serving.
  const std::string description = DescribeLastError();
  logger_.Log(Plain, "Cannot obtain process state: %s.", {LogArg::String(description.c_str())});
  return true;
}

}  // namespace tessel
