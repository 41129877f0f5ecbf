#include "foundation/memory.h"

#include <linux/capability.h>
#include <sys/mman.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "platform/capabilities.h"
#include "platform/message_box.h"
#include "platform/process.h"

namespace zph {

bad_alloc::bad_alloc(const char* message) noexcept {
  std::strncpy(message_, message != nullptr ? message : "", sizeof(message_) - 1);
  message_[sizeof(message_) - 1] = '\0';
}

bad_alloc::~bad_alloc() = default;

const char* bad_alloc::what() const noexcept {
  return message_;
}

}  // namespace zph

namespace tessel {

namespace {

constexpr uint64_t kDefaultLargePageSize = 131072;

// Constant-initialised, so it reads as zero (not yet known) until the first initialiser fills it.
MemoryFacts g_facts{};

void ReadMemoryFacts() {
  uint32_t page = PageSize();
  uint64_t total = TotalPhysicalMemory();
  g_facts.allocationGranularity = page;
  g_facts.totalPhysical = total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
  g_facts.pageSize = page;
}

// What a block pool would take from the machine. Nothing allocates from pools in this worker;
// the probes stay for their effect on the process (CAP_IPC_LOCK raised while it is permitted).
struct CPoolSetup {
  LargePageSupport largePages;
  uint32_t blockSize = 0;
};

struct CFirstPoolInit {
  CFirstPoolInit() {
    if (g_facts.pageSize == 0) ReadMemoryFacts();
    pool.largePages = ProbeLargePages();
    pool.blockSize = ChoosePoolBlockSize(g_facts.totalPhysical, g_facts.pageSize);
  }
  CPoolSetup pool;
};

struct CSecondPoolInit {
  CSecondPoolInit() { pool.largePages = ProbeLargePages(); }
  CPoolSetup pool;
};

// The facts must be ready before the logger (priority 102) starts; the second pool comes up
// after the logger and the privilege cache.
CFirstPoolInit g_firstPool __attribute__((init_priority(101)));
CSecondPoolInit g_secondPool __attribute__((init_priority(103)));

// The huge page size, or 0 when the kernel does not name one.
uint64_t ReadHugePageSize(const char* meminfoPath) {
  FILE* file = std::fopen(meminfoPath, "re");
  if (file == nullptr) return 0;
  uint64_t bytes = 0;
  char line[256];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    unsigned long long kib = 0;
    char unit[8] = {};
    if (std::sscanf(line, "Hugepagesize: %llu %7s", &kib, unit) == 2 &&
        std::strcmp(unit, "kB") == 0) {
      uint64_t value = 0;
      if (!__builtin_mul_overflow(static_cast<uint64_t>(kib), uint64_t{1024}, &value))
        bytes = value;
      break;
    }
  }
  std::fclose(file);
  return bytes;
}

// The reports may run when the heap is exhausted: their texts are built on the stack.
[[noreturn]] void ShowMemoryReport(const char* firstLine) {
  ShowMessageBox("", firstLine);
  zph::bad_alloc failure("bad allocation");
  ShowMessageBox("Fatal error", "Memory allocation error");
  throw failure;
}

uint32_t ClampToU32(uint64_t value) {
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

}  // namespace

const MemoryFacts& GetMemoryFacts() {
  if (g_facts.pageSize == 0) ReadMemoryFacts();
  return g_facts;
}

LargePageSupport ProbeLargePages(const char* meminfoPath) {
  LargePageSupport support;
  support.largePageSize = kDefaultLargePageSize;
  support.usable = false;
  // Locking large pages needs CAP_IPC_LOCK; raising it is the only lasting effect of a probe.
  int saved = errno;
  bool locked = RaiseCapability(CAP_IPC_LOCK);
  errno = saved;
  if (!locked) return support;
  uint64_t minimum = ReadHugePageSize(meminfoPath);
  if (minimum != 0 && minimum >= support.largePageSize) {
    support.largePageSize = minimum;
    support.usable = true;
  }
  return support;
}

uint32_t ChoosePoolBlockSize(uint64_t totalPhysical, uint32_t pageSize) {
  uint32_t block = 1048576;
  if (totalPhysical > 2147483648ull) {
    block = 4194304;
  } else if (totalPhysical > 134217728ull) {
    block = 2097152;
  }
  uint64_t granule = 32ull * (pageSize == 0 ? 4096u : pageSize);
  while (granule < block / 128) granule *= 2;
  uint64_t minimum = 4 * granule;
  return minimum > block ? ClampToU32(minimum) : block;
}

void ReportFatalError(const char* format, ...) {
  char caption[64];
  std::snprintf(caption, sizeof(caption), "Error %s, PID %d", "",
                static_cast<int>(CurrentProcessId()));
  constexpr size_t kTextSize = 16384;
  static char fallback[kTextSize];
  char* text = static_cast<char*>(std::malloc(kTextSize));
  if (text == nullptr) text = fallback;
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, kTextSize, format, args);
  va_end(args);
  ShowMessageBox(caption, text);
  std::abort();
}

void ReportMemoryOperationError(uint32_t code) {
  char line[128];
  std::snprintf(line, sizeof(line), "Memory operation error, code %" PRId64 ", PID %d",
                static_cast<int64_t>(code), static_cast<int>(CurrentProcessId()));
  ShowMemoryReport(line);
}

void ReportAllocationFailure(uint32_t size) {
  char line[128];
  std::snprintf(line, sizeof(line), "Can't allocate memory, size %" PRId64 ", PID %d",
                static_cast<int64_t>(size), static_cast<int>(CurrentProcessId()));
  ShowMemoryReport(line);
}

void ReportPageAllocationFailure(uint32_t size) {
  int error = errno;
  char line[160];
  std::snprintf(line, sizeof(line),
                "Can't allocate memory, size %" PRId64 ", error code %d, PID %d",
                static_cast<int64_t>(size), error, static_cast<int>(CurrentProcessId()));
  ShowMemoryReport(line);
}

PageRegion::PageRegion(size_t size) {
  size_t granule = GetMemoryFacts().allocationGranularity;
  // An empty request still takes one granule, so that a holder with a region always has memory.
  size_t rounded = granule;
  if (size > 0) {
    if (size > SIZE_MAX - (granule - 1)) {
      errno = ENOMEM;
      ReportPageAllocationFailure(UINT32_MAX);
    }
    rounded = (size + granule - 1) / granule * granule;
  }
  void* address =
      ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) ReportPageAllocationFailure(ClampToU32(rounded));
  mapping_ = CMapping(address, rounded);
}

PageRegion& PageRegion::operator=(PageRegion&& other) noexcept {
  if (this != &other) {
    Release();
    mapping_ = std::move(other.mapping_);
  }
  return *this;
}

PageRegion::~PageRegion() {
  Release();
}

void PageRegion::Release() {
  if (mapping_.Reset() != 0) ReportMemoryOperationError(static_cast<uint32_t>(errno));
}

bool ProtectedString::Assign(const void* bytes, size_t length) {
  Release();
  region_ = PageRegion(length);
  if (length > 0) std::memcpy(region_.Data(), bytes, length);
  length_ = length;
  return ::mprotect(region_.Data(), length, PROT_READ) == 0;
}

void ProtectedString::Release() {
  region_.Release();
  length_ = 0;
}

void* AllocateHeapBlock(size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) ReportAllocationFailure(ClampToU32(bytes));
  return block;
}

void FreeHeapBlock(void* block) {
  std::free(block);
}

uint64_t GcdWith4096(uint64_t value) {
  if (value == 0) return 0;
  return std::gcd(value, uint64_t{4096});
}

}  // namespace tessel
