#pragma once

#include <string>
#include <vector>

#include "client/worker_path.h"

// Where the tool finds the worker program Tessel.
namespace tessel::cli {

// The variable that names the worker program, as --worker does; the library reads it too.
inline constexpr const char* kWorkerVariable = kWorkerPathVariable;

// The places looked in, in order, for a tool in `toolFolder`: an installed layout
// (<prefix>/bin/tessel with <prefix>/libexec/tessel/Tessel), beside the tool, and the build
// folder the tool was built in.
std::vector<std::string> WorkerCandidates(const std::string& toolFolder);

enum class WorkerLookup { kFound, kBadOption, kNotFound };

// The worker program: `option` (--worker) when given, else `variable` (TESSEL_WORKER's value,
// nullptr when unset), else the first candidate that is an executable file. kBadOption: --worker
// names nothing that runs. `error` says where it looked and what to do.
WorkerLookup FindWorker(const std::string& option, const char* variable,
                        const std::vector<std::string>& candidates, std::string& path,
                        std::string& error);

}  // namespace tessel::cli
