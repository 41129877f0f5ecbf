#pragma once

#include <string>
#include <vector>

#include "client/status.h"

// Where the client library finds the worker program when the caller names none.
namespace tessel {

// The variable that names the worker program for every client, the tool included.
inline constexpr const char kWorkerPathVariable[] = "TESSEL_WORKER";

// What the search starts from; the folders end in '/'.
struct WorkerSearch {
  std::string configured;          // SessionOptions::workerPath
  const char* variable = nullptr;  // TESSEL_WORKER's value; nullptr when unset
  std::string libraryFolder;       // the folder of the file that holds the client library
  std::string programFolder;       // the folder of the calling program
};

// The places tried, in order, when neither `configured` nor the variable names the worker: the
// installed layout from the library's folder (<prefix>/lib/ -> <prefix>/libexec/tessel/), the
// library's own folder (the build tree keeps everything in one), and beside the program.
std::vector<std::string> WorkerCandidatesFor(const WorkerSearch& search);

// `configured` when set, else the variable's program (which must run: a wrong one is an error,
// not a reason to look elsewhere), else the first candidate that is an executable file. A
// failure says what was tried and what to set.
Result<std::string> FindWorkerProgram(const WorkerSearch& search);

// FindWorkerProgram for this process: its environment, the library's and the program's folders.
Result<std::string> ResolveWorkerPath(const std::string& configured);

}  // namespace tessel
