#include <memory>

#include "service/entry_point.h"

// The worker. Its image half arrives with the codec binding; until then every image command
// fails.
int main(int argc, char** argv) {
  return tessel::TesselMain(argc, argv, [] { return std::make_unique<tessel::CNoImageSide>(); });
}
