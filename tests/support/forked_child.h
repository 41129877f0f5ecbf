#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/unique_fd.h"

namespace tessel::test {

// Code that changes its process for good (capabilities, user, session, namespaces, ...) runs in
// a forked child. The assertions that fail there (and a skip) come back to the parent as failures
// at their own file and line, instead of a bare "the child failed".
class CForkedChild {
 public:
  explicit CForkedChild(const std::function<void()>& body);
  // A child still running is killed and reaped.
  ~CForkedChild();
  CForkedChild(const CForkedChild&) = delete;
  CForkedChild& operator=(const CForkedChild&) = delete;

  pid_t Pid() const { return pid_; }
  // Waits for the child's end, at most `patience` (then kills it and fails), reports its failed
  // assertions here and returns its wait status; -1 when there is no child.
  int Wait(std::chrono::milliseconds patience = std::chrono::seconds(60),
           const char* file = __builtin_FILE(), int line = __builtin_LINE());

 private:
  pid_t pid_ = -1;
  CUniqueFd report_;  // the child writes its failures into the other end
};

// Runs `body` in a forked child; fails with what failed there, or with how the child ended when
// it did not come back from `body`.
void RunInChild(const std::function<void()>& body,
                std::chrono::milliseconds patience = std::chrono::seconds(60),
                const char* file = __builtin_FILE(), int line = __builtin_LINE());

// "exit code 3", "signal 9 (Killed)".
std::string DescribeStatus(int status);

}  // namespace tessel::test
