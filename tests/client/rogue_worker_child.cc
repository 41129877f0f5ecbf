// A worker that breaks the protocol on command 100 in the way its Parameter names, and answers
// every Load with an image far larger than its pixels.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/named_event.h"
#include "platform/shared_memory_region.h"
#include "wire/control_block.h"
#include "wire/image_descriptor.h"

using namespace tessel;
using namespace std::chrono_literals;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto name = [id = std::string(argv[1])](const char* suffix) {
    return std::string(kServiceName).append(suffix).append(id);
  };
  CSharedMemoryRegion main;
  CNamedEvent server, client;
  if (!main.Open(name(kMainMappingSuffix), true) || !server.Open(name(kServerEventSuffix)) ||
      !client.Open(name(kClientEventSuffix)))
    return 3;
  CControlBlockView block(main.Data());
  auto answer = [&] { server.Reset(), client.Set(); };
  for (;;) {
    if (server.Wait(60s) != CNamedEvent::WaitResult::Signalled) return 4;
    const uint32_t command = block.Command();
    bool succeeded = true;
    block.SetDataInExtended(0);
    block.SetDataOffset(0);
    switch (command == 100 ? block.Parameter() : 0) {
      case 1: {  // output as its input block says: DataInExtended, DataOffset, DataSize, 3 words
        uint32_t says[6];
        std::memcpy(says, block.InlineData() + 8, sizeof says);
        block.SetDataInExtended(says[0]), block.SetDataOffset(says[1]), block.SetDataSize(says[2]);
        std::memcpy(block.InlineData(), says + 3, 12);
        break;
      }
      case 2: {  // an absurd BufferRequest: succeeds when it was refused and the region stayed small
        block.SetRequiredSize(0xfffffff0u);
        block.SetEvent(kEventBufferRequest);
        answer();
        if (server.Wait(60s) != CNamedEvent::WaitResult::Signalled) return 5;
        CSharedMemoryRegion region;
        const bool small = region.Open(name(kExtendedRegionSuffix), true) &&
                           region.Size() < 0xfffffff0u;
        succeeded = block.Command() == kCommandEventDone && block.Status() != 0 && small;
        block.SetDataSize(0);
        break;
      }
      case 5: {  // as many empty blocks as the inline area can list: a set that adds up
        std::memset(block.InlineData(), 0, kInlineDataSize);
        const uint32_t count = (kInlineDataSize - 4) / 4;
        std::memcpy(block.InlineData(), &count, sizeof count);
        block.SetDataSize(kInlineDataSize);
        break;
      }
      case 3:  // dies in the middle of a command
        _exit(100);
      case 4:
        pause();  // hangs
        break;
      case 6:  // busy, but never done: one BufferRequest after another
        for (;;) {
          block.SetRequiredSize(kInlineDataSize + 1);
          block.SetEvent(kEventBufferRequest);
          answer();
          if (server.Wait(60s) != CNamedEvent::WaitResult::Signalled) return 6;
        }
    }
    if (command == kCommandLoad) {  // image 7 at 2^31 x 2^31 pixels, in no bytes at all
      ImageDescriptor image{};
      image.Id = 7, image.VectorFlag = 1, image.TargetWidth = image.TargetHeight = 1u << 31;
      const uint32_t table[] = {2, sizeof image, 0};
      std::memcpy(block.InlineData(), table, sizeof table);
      std::memcpy(block.InlineData() + sizeof table, &image, sizeof image);
      block.SetDataSize(sizeof table + sizeof image);
      block.SetStatus(1);
    }
    if (succeeded) block.SetResult(1);
    block.SetCommand(kCommandNone);
    answer();
    if (command == kCommandStop) return 0;
  }
}
