#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

using namespace std::chrono_literals;

namespace tessel::test {

// Runs `body` in a forked child that exits with what it returns.
inline pid_t Fork(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// The child's exit code, 128 + the signal that killed it, or -1 when it cannot be waited for.
inline int ExitCode(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string UniqueName(const std::string& role = "") {
  return "tessel-test-" + std::to_string(::getpid()) + "-" +
         testing::UnitTest::GetInstance()->current_test_info()->name() + role;
}

// An object made the way a peer might, bypassing the classes' own choices.
inline bool MakeRawObject(const std::string& name, off_t size, mode_t mode) {
  CUniqueFd fd(::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600));
  return fd.Valid() && ::fchmod(fd.Get(), mode) == 0 && ::ftruncate(fd.Get(), size) == 0;
}

}  // namespace tessel::test
