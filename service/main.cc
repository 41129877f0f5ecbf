#include <memory>

#include "image/file_system.h"
#include "image/image_processor.h"
#include "service/entry_point.h"

int main(int argc, char** argv) {
  // The file system service lives in a static library and comes up in static initialisation;
  // naming it here links it into the worker.
  tessel::FileSystemService();
  return tessel::TesselMain(argc, argv,
                            [] { return std::make_unique<tessel::CImageProcessor>(); });
}
