// The worker's service with an image side that fails in ways the worker survives only by ending
// at once (100: a fault, 101: an exception, 103: an exception out of a noexcept function), and
// that answers 102 with the log folder the worker
// publishes for the programs it starts.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "logging/logger.h"
#include "service/entry_point.h"

namespace {

[[gnu::noinline]] void Throw() { throw std::runtime_error("escapes a noexcept function"); }
void ThrowThrough() noexcept { Throw(); }

class CHostileImageSide final : public tessel::IImageSide {
 public:
  bool RunImageCommand(const tessel::CImageCommand& command) override {
    if (command.code == 100) {  // a real fault, on a page that no sanitizer takes as its own
      void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      *static_cast<volatile int*>(page) = 1;
    }
    if (command.code == 101) throw std::runtime_error("escapes");
    if (command.code == 103) ThrowThrough();
    const char* folder = std::getenv(tessel::kLogDirectoryVariable);
    if (command.code != 102 || folder == nullptr) return false;
    const tessel::Block blocks[] = {
        {reinterpret_cast<const unsigned char*>(folder), std::strlen(folder)}};
    return command.output.WriteOutput(0, blocks);
  }
};

}  // namespace

int main(int argc, char** argv) {
  return tessel::TesselMain(argc, argv, [] { return std::make_unique<CHostileImageSide>(); });
}
