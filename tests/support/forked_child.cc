#include "tests/support/forked_child.h"

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <exception>
#include <vector>

namespace tessel::test {
namespace {

using Part = testing::TestPartResult;

// A failure travels as four fields, each ended by a NUL: type, file, line and message.
void ReportHere(const std::string& records) {
  std::vector<std::string> f;
  for (size_t at = 0, end; (end = records.find('\0', at)) != std::string::npos; at = end + 1) {
    f.push_back(records.substr(at, end - at));
    if (f.size() < 4) continue;
    GTEST_MESSAGE_AT_(f[1].c_str(), std::atoi(f[2].c_str()),
                      ("in the forked child: " + f[3]).c_str(),
                      static_cast<Part::Type>(std::atoi(f[0].c_str())));
    f.clear();
  }
}

void Drain(int fd, std::string& into) {
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) into.append(buffer, got);
}

}  // namespace

CForkedChild::CForkedChild(const std::function<void()>& body) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  CUniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  pid_ = ::fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (pid_ > 0) {
    ::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK);
    report_ = std::move(readEnd);
    return;
  }
  readEnd.Reset();
  testing::TestPartResultArray parts;
  {
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &parts);
    try {
      body();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception: " << e.what();
    }
  }
  std::string records;
  for (int i = 0; i < parts.size(); ++i) {
    const Part& part = parts.GetTestPartResult(i);
    for (const std::string& field :
         {std::to_string(part.type()), std::string(part.file_name() ? part.file_name() : ""),
          std::to_string(part.line_number()), std::string(part.message())})
      records.append(field).append(1, '\0');
  }
  for (size_t done = 0; done < records.size();) {
    const ssize_t wrote = ::write(writeEnd.Get(), records.data() + done, records.size() - done);
    if (wrote <= 0 && errno != EINTR) break;
    if (wrote > 0) done += static_cast<size_t>(wrote);
  }
  // No atexit handlers, no test teardown: those belong to the parent.
  ::_exit(0);
}

CForkedChild::~CForkedChild() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

int CForkedChild::Wait(std::chrono::milliseconds patience, const char* file, int line) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + patience;
  std::string records;
  int status = 0;
  for (;;) {
    Drain(report_.Get(), records);
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) break;
    if (ended < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      pid_ = -1;
      return -1;
    }
    if (std::chrono::steady_clock::now() >= end) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      ADD_FAILURE_AT(file, line) << "the forked child ran longer than " << patience.count()
                                 << " ms and was killed";
      break;
    }
    // A pipe whose writers are gone polls at once: the child is ending, wait a moment for it.
    pollfd readable{report_.Get(), POLLIN, 0};
    if (::poll(&readable, 1, 10) > 0 && !(readable.revents & POLLIN)) ::usleep(1000);
  }
  pid_ = -1;
  Drain(report_.Get(), records);
  ReportHere(records);
  return status;
}

void RunInChild(const std::function<void()>& body, std::chrono::milliseconds patience,
                const char* file, int line) {
  CForkedChild child(body);
  const int status = child.Wait(patience, file, line);
  if (status != 0)
    ADD_FAILURE_AT(file, line) << "the forked child ended with " << DescribeStatus(status);
}

std::string DescribeStatus(int status) {
  if (status < 0) return "no child";
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) +
           ")";
  return "status " + std::to_string(status);
}

}  // namespace tessel::test
