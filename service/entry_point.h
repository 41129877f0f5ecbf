#pragma once

#include <string>

#include "image/image_side.h"
#include "wire/environment.h"

namespace tessel {

// The exit code of a worker that an escaping failure ended.
inline constexpr int kEscapedFailureExitCode = kWorkerFaultExitCode;

// The session identifier: the arguments joined with blanks, white space trimmed from the right
// end and then from the left end.
std::string SessionIdFromCommandLine(int argc, const char* const* argv);

// From here on a fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) ends the process at once with
// kEscapedFailureExitCode, without teardown.
void InstallCrashGuard();

// Sets the process prefix, then builds, runs and tears down the service. Anything that escapes
// it ends the process at once with kEscapedFailureExitCode; otherwise it returns 0.
int GuardedServiceMain(const std::string& sessionId, const ImageSideFactory& makeImageSide);

// The worker's whole life after static initialisation; returns the process exit code.
int TesselMain(int argc, const char* const* argv, const ImageSideFactory& makeImageSide);

}  // namespace tessel
