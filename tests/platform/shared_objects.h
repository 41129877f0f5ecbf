#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/forked_child.h"

using namespace std::chrono_literals;

namespace tessel::test {

// A name of the test's own for the shared objects it makes.
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
