// The worker's service with an image side of test commands, for tests that need output and
// events before the real image side exists. Started like the worker, with the session id.
//
//   100: writes one block of Parameter (low 32 bits) bytes, byte k = k % 251, at offset 0
//        through the output path (inline, or through BufferRequest); Status = 1 once written.
//   101: writes the command's input blocks back as its output; Status = 1 once written.
// Both succeed exactly when the output was written; every other code fails.
#include <cstring>
#include <memory>
#include <vector>

#include "service/entry_point.h"

namespace {

using tessel::Block;
using tessel::CControlBlockView;
using tessel::CImageCommand;

class CEchoImageSide final : public tessel::IImageSide {
 public:
  bool RunImageCommand(const CImageCommand& command) override {
    if (command.code == 100) return Pattern(command);
    if (command.code == 101) return Echo(command);
    return false;
  }

 private:
  static bool Pattern(const CImageCommand& command) {
    std::vector<unsigned char> bytes(static_cast<uint32_t>(command.controlBlock.Parameter()));
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<unsigned char>(k % 251);
    const Block blocks[] = {Block(bytes)};
    return Finish(command, command.output.WriteOutput(0, blocks));
  }

  // The output overwrites the input's place, so the blocks are copied out first.
  static bool Echo(const CImageCommand& command) {
    if (command.input == nullptr) return false;
    std::vector<std::vector<unsigned char>> copies;
    for (uint32_t i = 0; i < command.input->Count(); ++i) {
      const Block block = command.input->At(i);
      copies.emplace_back(block.begin(), block.end());
    }
    std::vector<Block> blocks(copies.begin(), copies.end());
    return Finish(command, command.output.WriteOutput(0, blocks));
  }

  static bool Finish(const CImageCommand& command, bool written) {
    CControlBlockView block = command.controlBlock;
    if (written) block.SetStatus(1);
    return written;
  }
};

}  // namespace

int main(int argc, char** argv) {
  return tessel::TesselMain(argc, argv, [] { return std::make_unique<CEchoImageSide>(); });
}
