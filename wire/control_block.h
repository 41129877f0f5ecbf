#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The wire format between a client and the worker: the 42-byte control block at offset 0 of the
// main mapping, followed by the inline data area. Little-endian, packed, no padding; every
// offset below is binding on both sides, which are built separately.
namespace tessel {

#pragma pack(push, 1)
struct CControlBlock {
  uint32_t Command;         // 0: code of the pending command, 0 = none
  int32_t Status;           // 4: reply code of EventDone; 1 once Load has written its output
  uint8_t Result;           // 8: 1 = the command succeeded
  int32_t Event;            // 9: event raised in the middle of a command (BufferRequest = -2)
  uint8_t DataInExtended;   // 13: data at offset 0 of the extended region instead of inline
  uint32_t DataOffset;      // 14: start of inline data, from the first byte of InlineData
  uint32_t DataSize;        // 18: total size of the block set, 0 = no data
  uint32_t RequiredSize;    // 22: BufferRequest: bytes the new extended region must hold
  uint64_t Parameter;       // 26: the command's scalar argument
  uint64_t WorkingSetSize;  // 34: the worker's working set after image commands
};
#pragma pack(pop)

static_assert(offsetof(CControlBlock, Command) == 0);
static_assert(offsetof(CControlBlock, Status) == 4);
static_assert(offsetof(CControlBlock, Result) == 8);
static_assert(offsetof(CControlBlock, Event) == 9);
static_assert(offsetof(CControlBlock, DataInExtended) == 13);
static_assert(offsetof(CControlBlock, DataOffset) == 14);
static_assert(offsetof(CControlBlock, DataSize) == 18);
static_assert(offsetof(CControlBlock, RequiredSize) == 22);
static_assert(offsetof(CControlBlock, Parameter) == 26);
static_assert(offsetof(CControlBlock, WorkingSetSize) == 34);
static_assert(sizeof(CControlBlock) == 42);

// Command codes.
enum CommandCode : uint32_t {
  kCommandNone = 0,
  kCommandEventDone = 2,
  kCommandCloseBuffer = 3,
  kCommandSetLoggingMode = 4,
  kCommandPing = 5,
  kCommandStop = 6,
  kCommandSetServiceParent = 7,
  kCommandLoad = 10,
  kCommandFree = 11,
  kCommandGetBitmap = 12,
};

// Event numbers.
inline constexpr int32_t kEventBufferRequest = -2;

// The worker's buffer size and the inline area that follows from it.
inline constexpr uint32_t kBufferSize = 0x100000;
inline constexpr uint32_t kInlineDataSize = kBufferSize + 0x100000;
inline constexpr size_t kInlineDataOffset = sizeof(CControlBlock);
// The least size of the main mapping.
inline constexpr size_t kMainMappingSize = kInlineDataOffset + kInlineDataSize;

// Object names: "TESSEL_SERVICE" + suffix + session identifier.
inline constexpr const char* kServiceName = "TESSEL_SERVICE";
inline constexpr const char* kServerEventSuffix = "_SERVER_EVENT_";
inline constexpr const char* kClientEventSuffix = "_CLIENT_EVENT_";
inline constexpr const char* kMainMappingSuffix = "_FILE_";
inline constexpr const char* kExtendedRegionSuffix = "_EXFILE_";

// Access to a control block in shared memory. The peer may write the block while we look at
// it, so every field is read exactly once through a volatile copy: a value that was checked is
// the value that is used. Callers keep what they read in locals.
class CControlBlockView {
 public:
  explicit CControlBlockView(void* block = nullptr) : bytes_(static_cast<unsigned char*>(block)) {}
  bool Valid() const { return bytes_ != nullptr; }
  // The inline data area that follows the block.
  unsigned char* InlineData() const { return bytes_ + kInlineDataOffset; }

  uint32_t Command() const { return Load<uint32_t>(offsetof(CControlBlock, Command)); }
  void SetCommand(uint32_t value) { Store(offsetof(CControlBlock, Command), value); }
  int32_t Status() const { return Load<int32_t>(offsetof(CControlBlock, Status)); }
  void SetStatus(int32_t value) { Store(offsetof(CControlBlock, Status), value); }
  uint8_t Result() const { return Load<uint8_t>(offsetof(CControlBlock, Result)); }
  void SetResult(uint8_t value) { Store(offsetof(CControlBlock, Result), value); }
  int32_t Event() const { return Load<int32_t>(offsetof(CControlBlock, Event)); }
  void SetEvent(int32_t value) { Store(offsetof(CControlBlock, Event), value); }
  uint8_t DataInExtended() const { return Load<uint8_t>(offsetof(CControlBlock, DataInExtended)); }
  void SetDataInExtended(uint8_t value) { Store(offsetof(CControlBlock, DataInExtended), value); }
  uint32_t DataOffset() const { return Load<uint32_t>(offsetof(CControlBlock, DataOffset)); }
  void SetDataOffset(uint32_t value) { Store(offsetof(CControlBlock, DataOffset), value); }
  uint32_t DataSize() const { return Load<uint32_t>(offsetof(CControlBlock, DataSize)); }
  void SetDataSize(uint32_t value) { Store(offsetof(CControlBlock, DataSize), value); }
  uint32_t RequiredSize() const { return Load<uint32_t>(offsetof(CControlBlock, RequiredSize)); }
  void SetRequiredSize(uint32_t value) { Store(offsetof(CControlBlock, RequiredSize), value); }
  uint64_t Parameter() const { return Load<uint64_t>(offsetof(CControlBlock, Parameter)); }
  void SetParameter(uint64_t value) { Store(offsetof(CControlBlock, Parameter), value); }
  uint64_t WorkingSetSize() const { return Load<uint64_t>(offsetof(CControlBlock, WorkingSetSize)); }
  void SetWorkingSetSize(uint64_t value) { Store(offsetof(CControlBlock, WorkingSetSize), value); }

 private:
  template <typename T>
  T Load(size_t offset) const {
    const volatile unsigned char* from = bytes_ + offset;
    unsigned char copy[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) copy[i] = from[i];
    T value;
    std::memcpy(&value, copy, sizeof(T));
    return value;
  }
  template <typename T>
  void Store(size_t offset, T value) const {
    unsigned char copy[sizeof(T)];
    std::memcpy(copy, &value, sizeof(T));
    volatile unsigned char* to = bytes_ + offset;
    for (size_t i = 0; i < sizeof(T); ++i) to[i] = copy[i];
  }

  unsigned char* bytes_;
};

}  // namespace tessel
