#include "image/working_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/path.h"
#include "foundation/text.h"
#include "platform/process.h"
#include "platform/tessel_folders.h"
#include "security/object_security.h"

namespace tessel {

bool IsSafeFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

CWorkingFolder::~CWorkingFolder() {
  RemoveWorkingFolder();
}

CWorkingFolder::Choice CWorkingFolder::Choose(const std::string& sessionId) {
  Choice choice;
  choice.sessionId = sessionId;
  choice.temp = IncludeTrailingSeparator(TempFolder());
  choice.tempExists = FolderExists(choice.temp);
  // Invalid UTF-8 in the identifier becomes U+FFFD, as every other text conversion does.
  const std::string name = WideToUtf8(AnsiToWide(sessionId));
  // The client chooses the identifier: one that would name a folder outside TESSEL/ gets no
  // session folder, and the temporary folder, which is never removed, stands in.
  choice.safeName = IsSafeFolderName(name);
  if (choice.tempExists && choice.safeName) choice.folder = ChooseTesselFolder(name);
  return choice;
}

void CWorkingFolder::Prepare(const std::string& sessionId) {
  prepared_ = Choose(sessionId);
}

bool CWorkingFolder::InitializeWorkingFolder(const std::string& sessionId) {
  if (prepared_ && prepared_->sessionId != sessionId) DropPrepared();
  const Choice choice = prepared_ ? *std::exchange(prepared_, std::nullopt) : Choose(sessionId);
  std::string result = choice.temp;
  removeAtExit_ = false;
  path_.Release();
  if (!choice.tempExists) {
    logger_.Log(Error, "Temporary folder %s does not exist; it is not created",
                {LogArg::String(choice.temp.c_str())});
    return false;
  }
  if (choice.safeName) {
    if (!choice.folder.path.empty()) {
      result = choice.folder.path;
      removeAtExit_ = true;
    } else {
      logger_.Log(Error, "Cannot create working folder, %s",
                  {LogArg::String(choice.folder.problem.c_str())});
    }
  }
  path_.Assign(result.c_str(), result.size() + 1);
  const std::string shown = ExcludeTrailingSeparator(result);
  logger_.Log(Debug, "Temporaly path initialized, %s, %d",
              {LogArg::String(shown.c_str()), LogArg::Int32(IsSandboxed() ? 1 : 0)});
  return true;
}

void CWorkingFolder::DropPrepared() {
  // A folder made for a session that never used it goes quietly: the log never named it.
  if (prepared_ && !prepared_->folder.path.empty())
    ::rmdir(ExcludeTrailingSeparator(prepared_->folder.path).c_str());
  prepared_.reset();
}

void CWorkingFolder::RemoveWorkingFolder() {
  if (removeAtExit_ && !path_.Empty()) {
    const std::string folder = ExcludeTrailingSeparator(path_.Data());
    bool removed = false;
    int error = 0;
    for (int attempt = 0; attempt < kRemoveAttempts && !removed; ++attempt) {
      if (!FolderExists(folder)) {
        removed = true;
        break;
      }
      logger_.Log(Debug, "Remove temporaly directory %s", {LogArg::String(folder.c_str())});
      if (::rmdir(folder.c_str()) == 0) {
        removed = true;
      } else {
        error = errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(kRemoveDelayMs));
      }
    }
    if (!removed) {
      const std::string reason = DescribeError(error);
      logger_.Log(Error, "Cannot remove temporaly folder %s, %s",
                  {LogArg::String(path_.Data()), LogArg::String(reason.c_str())});
    }
  }
  removeAtExit_ = false;
  path_.Release();
  DropPrepared();
}

}  // namespace tessel
