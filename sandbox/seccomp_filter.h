#pragma once

#include <linux/filter.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The worker's system-call allow-list as a ready BPF program: compiled once per process with
// libseccomp, then installed by a child between fork and exec without allocating.
namespace tessel {

class CSeccompFilter {
 public:
  // The worker's filter, compiled on first use. Null when it cannot be compiled; `error` then
  // says why.
  static const CSeccompFilter* Worker(std::string& error);

  // Whether this kernel can install filters at all (false: `error` says why).
  static bool KernelSupports(std::string& error);

  // What the filter refuses, one family of calls a line, in plain words.
  static std::vector<std::string> RefusedFamilies();

  // A copy of the program for one child, made before fork.
  std::vector<sock_filter> Program() const { return program_; }
  // Writes `pid` into `program` (a copy from Program()) where the calls that may only target the
  // worker itself compare against it, then installs it on the calling thread. The child knows
  // its id only after fork. Async-signal-safe; no_new_privs must be set first.
  bool Install(std::vector<sock_filter>& program, pid_t pid) const;

  size_t AllowedCalls() const { return allowedCalls_; }

 private:
  std::vector<sock_filter> program_;
  std::vector<size_t> selfSlots_;  // instructions that compare against the worker's own id
  size_t allowedCalls_ = 0;
};

}  // namespace tessel
