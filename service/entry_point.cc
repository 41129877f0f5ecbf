#include "service/entry_point.h"

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <string_view>

#include "foundation/memory.h"
#include "logging/logger.h"
#include "privileges/privileges.h"
#include "service/varnix_server.h"
#include "service/volume_info.h"

namespace tessel {
namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// Big enough for the handler; static, so that a fault on an exhausted stack still finds it.
alignas(16) unsigned char g_alternateStack[64 * 1024];

void EndOnFault(int) {
  ::_exit(kEscapedFailureExitCode);
}

void ServiceMain(const std::string& sessionId, const ImageSideFactory& makeImageSide) {
  // Also clears the main thread's errors-only bit: every level is written from here on.
  CLogger::Instance().SetProcessPrefix(WorkerLogPrefix(sessionId));
  CVarnixServer server(makeImageSide());
  server.RunService(sessionId);
}

}  // namespace

std::string SessionIdFromCommandLine(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line.push_back(' ');
    line.append(argv[i]);
  }
  const size_t last = line.find_last_not_of(kWhiteSpace);
  if (last == std::string::npos) return {};
  line.erase(last + 1);
  line.erase(0, line.find_first_not_of(kWhiteSpace));
  return line;
}

void InstallCrashGuard() {
  stack_t stack{};
  stack.ss_sp = g_alternateStack;
  stack.ss_size = sizeof g_alternateStack;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = EndOnFault;
  action.sa_flags = SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) ::sigaction(signal, &action, nullptr);
  // An exception that leaves a destructor or a noexcept function never reaches the catch below.
  std::set_terminate([] { ::_exit(kEscapedFailureExitCode); });
}

int GuardedServiceMain(const std::string& sessionId, const ImageSideFactory& makeImageSide) {
  InstallCrashGuard();
  try {
    ServiceMain(sessionId, makeImageSide);
  } catch (...) {
    ::_exit(kEscapedFailureExitCode);
  }
  return 0;
}

int TesselMain(int argc, const char* const* argv, const ImageSideFactory& makeImageSide) {
  PrivilegeSelfTest();
  // Services that set themselves up during static initialisation live in static libraries;
  // naming them here links their initialisers in.
  (void)GetMemoryFacts();
  (void)CVolumeInfoService::Instance();
  // COM and the thread locale have no counterpart on Linux: nothing to start or set here.
  const std::string sessionId = SessionIdFromCommandLine(argc, argv);
  GuardedServiceMain(sessionId, makeImageSide);
  // Nothing to stop either; the process logger's unload banner follows at exit.
  return 0;
}

}  // namespace tessel
