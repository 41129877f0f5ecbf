#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

// A Landlock ruleset for a process about to be confined: which files and folders it may use, and
// from its ABI 4 and 6 on, no TCP and no signals or abstract sockets outside its own domain.
namespace tessel {

// What a rule grants beneath a path. Each names a set of Landlock rights; rights the kernel's ABI
// does not know are left out (and then not restricted either).
enum class PathAccess {
  kExecute,    // execute and read one file: the program itself
  kRead,       // read files and list folders
  kPrivate,    // everything but execute, special files and links: a folder of the process's own
  kAppend,     // read, list, create files and write them, never truncate or remove: a log folder
  kReadWrite,  // read and write one existing file, never truncate it: a shared-memory object
};

class CLandlockRuleset {
 public:
  // The ABI the kernel offers: 0 when Landlock is missing (`error` says why).
  static int KernelAbi(int* error = nullptr);

  CLandlockRuleset() = default;

  // Creates a ruleset handling every right of `abi` (at most the kernel's). False, errno set.
  bool Create(int abi);
  int Abi() const { return abi_; }
  bool Valid() const { return fd_.Valid(); }

  // Grants `access` beneath `path` (a folder) or to it (a file). False, errno set, when the path
  // cannot be opened or the kernel refuses the rule.
  bool Allow(const std::string& path, PathAccess access);
  // The same for a path already opened with O_PATH. Async-signal-safe: a child between fork
  // and exec may call it.
  bool AllowFd(int pathFd, bool isFolder, PathAccess access) const;

  // Confines the calling thread (and what it executes) to the rules. no_new_privs must be set
  // first. Async-signal-safe.
  bool RestrictSelf() const;

  // Rights known to newer ABIs that this ruleset cannot restrict, in plain words.
  std::vector<std::string> MissingProtections() const;

 private:
  uint64_t Rights(PathAccess access, bool isFolder) const;

  CUniqueFd fd_;
  int abi_ = 0;
  uint64_t handledFs_ = 0;
};

}  // namespace tessel
