// Tries what a confined worker must not do (and a few things it must still do) and writes one
// line per attempt, "name=0" for success or "name=<errno>", into the file named by argv[1].
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

int Outcome(bool succeeded) {
  return succeeded ? 0 : (errno != 0 ? errno : -1);
}

int Attempt(const char* path, int flags) {
  const int fd = ::open(path, flags | O_CLOEXEC, 0600);
  const int outcome = Outcome(fd >= 0);
  if (fd >= 0) ::close(fd);
  return outcome;
}

std::string StatusLine(const std::string& field) {
  std::ifstream status("/proc/self/status");
  const std::string text{std::istreambuf_iterator<char>(status), {}};
  const size_t at = text.find("\n" + field + ":");
  if (at == std::string::npos) return "?";
  const size_t start = text.find_first_not_of(" \t", at + field.size() + 2);
  return text.substr(start, text.find('\n', start) - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string privateFile = std::string(argv[2]) + "/made-here";
  const char* outside = argv[3];  // a file the worker was not given
  std::string report;
  const auto line = [&report](const char* name, const std::string& value) {
    report.append(name).append("=").append(value).append("\n");
  };
  const auto tried = [&line](const char* name, int outcome) {
    line(name, std::to_string(outcome));
  };

  line("CapEff", StatusLine("CapEff"));
  line("CapPrm", StatusLine("CapPrm"));
  line("CapBnd", StatusLine("CapBnd"));
  line("NoNewPrivs", StatusLine("NoNewPrivs"));
  line("Seccomp", StatusLine("Seccomp"));
  struct rlimit limit {};
  ::getrlimit(RLIMIT_CORE, &limit);
  line("core", std::to_string(limit.rlim_cur));
  ::getrlimit(RLIMIT_STACK, &limit);
  line("stack", std::to_string(limit.rlim_cur));

  errno = 0;
  tried("read_outside", Attempt(outside, O_RDONLY));
  tried("read_passwd", Attempt("/etc/passwd", O_RDONLY));
  tried("write_private", Attempt(privateFile.c_str(), O_WRONLY | O_CREAT));
  tried("read_library", Attempt("/usr/lib/os-release", O_RDONLY));
  const int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
  tried("socket", Outcome(socketFd >= 0));
  if (socketFd >= 0) ::close(socketFd);
  tried("signal_parent", Outcome(::kill(::getppid(), 0) == 0));
  tried("signal_self", Outcome(::kill(::getpid(), 0) == 0));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  if (child > 0) ::waitpid(child, nullptr, 0);
  tried("fork", Outcome(child > 0));
  bool threadRan = false;
  std::thread([&threadRan] { threadRan = true; }).join();
  tried("thread", threadRan ? 0 : -1);
  void* code =
      ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  tried("exec_memory", Outcome(code != MAP_FAILED));
  void* data = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  tried("data_memory", Outcome(data != MAP_FAILED));
  const int own = ::open(privateFile.c_str(), O_RDWR | O_CLOEXEC);
  tried("own_session", ::getsid(0) == ::getpid() ? 0 : -1);
  tried("truncate", Outcome(own >= 0 && ::ftruncate(own, 0) == 0));

  // The report goes where the worker may write: its private folder. Without O_TRUNC, which the
  // filter refuses.
  const std::string reportFile = std::string(argv[2]) + "/" + argv[1];
  const int out = ::open(reportFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return out >= 0 && ::write(out, report.data(), report.size()) == ssize_t(report.size()) ? 0 : 1;
}
