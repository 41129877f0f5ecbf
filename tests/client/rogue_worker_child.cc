// A worker that answers the host commands and breaks the protocol on command 100 in the way its
// Parameter names, so that tests can show what the client makes of it.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "channel/control_block.h"
#include "platform/named_event.h"
#include "platform/shared_memory_region.h"

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
      !client.Open(name(kClientEventSuffix))) {
    return 3;
  }
  CControlBlockView block(main.Data());
  auto put = [&](size_t at, uint32_t value) { std::memcpy(block.InlineData() + at, &value, 4); };
  for (;;) {
    if (server.Wait(60s) != CNamedEvent::WaitResult::Signalled) return 4;
    const uint32_t command = block.Command();
    bool succeeded = true;
    block.SetDataInExtended(0);
    block.SetDataOffset(0);
    switch (command == 100 ? block.Parameter() : 0) {
      case 1:  // inline output that runs past the inline area
        block.SetDataOffset(kInlineDataSize - 10);
        block.SetDataSize(100);
        break;
      case 2:  // extended output larger than the region
        block.SetDataInExtended(1);
        block.SetDataSize(1u << 20);
        break;
      case 3:  // a size table that reaches past DataSize
        put(0, 0x40000000);
        block.SetDataSize(8);
        break;
      case 4:  // sizes whose sum wraps around to DataSize in 32 bits
        put(0, 2), put(4, 0xffffffffu), put(8, 9);
        block.SetDataSize(20);
        break;
      case 5: {  // an absurd BufferRequest: succeeds when it was refused and the name is free
        block.SetRequiredSize(0xfffffff0u);
        block.SetEvent(kEventBufferRequest);
        server.Reset();
        client.Set();
        if (server.Wait(60s) != CNamedEvent::WaitResult::Signalled) return 5;
        CSharedMemoryRegion region;
        const bool gone = !region.Open(name(kExtendedRegionSuffix), true) && errno == ENOENT;
        succeeded = block.Command() == kCommandEventDone && block.Status() != 0 && gone;
        block.SetDataSize(0);
        break;
      }
      case 6:  // dies in the middle of a command
        _exit(100);
      case 7:  // hangs
        pause();
    }
    if (succeeded) block.SetResult(1);
    block.SetCommand(kCommandNone);
    server.Reset();
    client.Set();
    if (command == kCommandStop) return 0;
  }
}
