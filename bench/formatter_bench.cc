// The message formatter against snprintf producing the same text, in the logger's setting: a
// 1024-byte scratch block lent as the first chunk, argument records built at the call.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "logformat/message_formatter.h"

namespace {

using tessel::FormatBuffer;
using tessel::LogArg;

const char* const kName = "/TESSEL_SERVICE_FILE_4f1c2a7e-9b3d-4c55-8e21-d0a6b7c3e912";
constexpr int32_t kCode = 2;
constexpr uint64_t kBytes = 5368709;
constexpr uint64_t kCounter = 20043;
constexpr double kSeconds = 5423.75;

// A comparison is only worth its figures when both sides produce the same text.
void CheckSame(benchmark::State& state, const FormatBuffer& out, const char* expected) {
  if (out.View() != expected) state.SkipWithError("formatter and snprintf texts differ");
}

void BM_Formatter_StringIntByteSize(benchmark::State& state) {
  char scratch[FormatBuffer::kChunk];
  for (auto _ : state) {
    LogArg args[] = {LogArg::String(kName), LogArg::Int32(kCode), LogArg::UInt64(kBytes)};
    FormatBuffer out(scratch, sizeof scratch);
    tessel::MessageFormatter(out, "Cannot open shared memory, %s, %s, %b", args, 3);
    benchmark::DoNotOptimize(out.View().data());
    benchmark::ClobberMemory();
  }
  LogArg args[] = {LogArg::String(kName), LogArg::Int32(kCode), LogArg::UInt64(kBytes)};
  FormatBuffer out(scratch, sizeof scratch);
  tessel::MessageFormatter(out, "Cannot open shared memory, %s, %s, %b", args, 3);
  char expected[FormatBuffer::kChunk];
  std::snprintf(expected, sizeof expected, "Cannot open shared memory, %s, %d, %s", kName, kCode,
                tessel::FormatByteSize(kBytes).c_str());
  CheckSame(state, out, expected);
}
BENCHMARK(BM_Formatter_StringIntByteSize);

void BM_Snprintf_StringIntByteSize(benchmark::State& state) {
  // snprintf has no byte-size rendering; it is given the finished text, which favours it.
  const std::string bytes = tessel::FormatByteSize(kBytes);
  char buffer[FormatBuffer::kChunk];
  for (auto _ : state) {
    int n = std::snprintf(buffer, sizeof buffer, "Cannot open shared memory, %s, %d, %s", kName,
                          kCode, bytes.c_str());
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Snprintf_StringIntByteSize);

void BM_Formatter_Integer(benchmark::State& state) {
  char scratch[FormatBuffer::kChunk];
  for (auto _ : state) {
    LogArg args[] = {LogArg::UInt64(kCounter)};
    FormatBuffer out(scratch, sizeof scratch);
    tessel::MessageFormatter(out, "Log counter %d", args, 1);
    benchmark::DoNotOptimize(out.View().data());
    benchmark::ClobberMemory();
  }
  LogArg args[] = {LogArg::UInt64(kCounter)};
  FormatBuffer out(scratch, sizeof scratch);
  tessel::MessageFormatter(out, "Log counter %d", args, 1);
  char expected[FormatBuffer::kChunk];
  std::snprintf(expected, sizeof expected, "Log counter %lld", static_cast<long long>(kCounter));
  CheckSame(state, out, expected);
}
BENCHMARK(BM_Formatter_Integer);

void BM_Snprintf_Integer(benchmark::State& state) {
  char buffer[FormatBuffer::kChunk];
  for (auto _ : state) {
    int n =
        std::snprintf(buffer, sizeof buffer, "Log counter %lld", static_cast<long long>(kCounter));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Snprintf_Integer);

void BM_Formatter_TimeSpan(benchmark::State& state) {
  char scratch[FormatBuffer::kChunk];
  for (auto _ : state) {
    LogArg args[] = {LogArg::Double(kSeconds)};
    FormatBuffer out(scratch, sizeof scratch);
    tessel::MessageFormatter(out, "Image decoded in %ts", args, 1);
    benchmark::DoNotOptimize(out.View().data());
    benchmark::ClobberMemory();
  }
  LogArg args[] = {LogArg::Double(kSeconds)};
  FormatBuffer out(scratch, sizeof scratch);
  tessel::MessageFormatter(out, "Image decoded in %ts", args, 1);
  char expected[FormatBuffer::kChunk];
  std::snprintf(expected, sizeof expected, "Image decoded in %2.3f hour", kSeconds / 3600);
  CheckSame(state, out, expected);
}
BENCHMARK(BM_Formatter_TimeSpan);

void BM_Snprintf_TimeSpan(benchmark::State& state) {
  char buffer[FormatBuffer::kChunk];
  for (auto _ : state) {
    int n = std::snprintf(buffer, sizeof buffer, "Image decoded in %2.3f hour", kSeconds / 3600);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Snprintf_TimeSpan);

}  // namespace

BENCHMARK_MAIN();
