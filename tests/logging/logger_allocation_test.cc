// A typical log call must not touch the heap. This program counts every allocation made through
// operator new and, outside the sanitizer build (whose runtime owns malloc), through malloc.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "logging/logger.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

namespace {
std::atomic<long> g_allocations{0};
}

#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_malloc(size_t);
extern "C" void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
#endif

// The replacement operator new takes its blocks from malloc, so free() is the matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }

namespace tessel {
namespace {

TEST(LoggerAllocation, TypicalLogCallAllocatesNothing) {
  CTempFolder logs;
  CLogger logger(logs.LogOptions());
  logger.SetProcessPrefix("[Tessel service] [abc] ");
  const char16_t wide[] = u"C:/images/\u00e9t\u00e9.svg";
  // Warm up: the first call may load time-zone data.
  logger.Log(Plain, "warm up");

  const long before = g_allocations.load();
  for (int i = 0; i < 200; ++i) {
    logger.LogContext(Error, "[abc] ", "Cannot open shared memory, %s, %s, %b",
                      {LogArg::Wide(wide), LogArg::String("2, No such file or directory"),
                       LogArg::UInt64(2097194)});
    logger.Log(Debug, "Image width %d, height %d, buffer size %d (requested width %d, height %d)",
               {LogArg::UInt32(640), LogArg::UInt32(480), LogArg::UInt32(640 * 480 * 4),
                LogArg::UInt32(0), LogArg::UInt32(0)});
  }
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(test::SplitRecords(test::ReadLogs(logs / "")).size(), 401u);
}

}  // namespace
}  // namespace tessel
