// The worker's service with test commands for an image side (Status = 1 once the output is
// written; every other code fails):
//   100: one block of Parameter (low 32 bits) bytes, byte k = k % 251, at offset 0;
//   101: the command's input blocks written back as its output.
#include <memory>
#include <vector>

#include "service/entry_point.h"

namespace {

class CEchoImageSide final : public tessel::IImageSide {
 public:
  bool RunImageCommand(const tessel::CImageCommand& command) override {
    std::vector<std::vector<unsigned char>> copies;  // the output overwrites the input's place
    if (command.code == 100) {
      auto& bytes = copies.emplace_back(static_cast<uint32_t>(command.controlBlock.Parameter()));
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k % 251);
    } else if (command.code == 101 && command.input != nullptr) {
      for (uint32_t i = 0; i < command.input->Count(); ++i)
        copies.emplace_back(command.input->At(i).begin(), command.input->At(i).end());
    } else {
      return false;
    }
    const std::vector<tessel::Block> blocks(copies.begin(), copies.end());
    if (!command.output.WriteOutput(0, blocks)) return false;
    tessel::CControlBlockView(command.controlBlock).SetStatus(1);
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  return tessel::TesselMain(argc, argv, [] { return std::make_unique<CEchoImageSide>(); });
}
