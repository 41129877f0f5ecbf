// Prints the worker program the client library would start, or why it finds none: tests copy this
// program into folders of their own to see where a program outside the build tree looks.
#include <cstdio>

#include "client/worker_path.h"

int main() {
  const tessel::Result<std::string> worker = tessel::ResolveWorkerPath("");
  if (!worker) {
    std::printf("error: %s\n", worker.Error().Message().c_str());
    return 1;
  }
  std::printf("%s\n", worker.Value().c_str());
  return 0;
}
