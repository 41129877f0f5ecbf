#pragma once

#include <cstdint>

namespace tessel {

enum class LogArgType : uint32_t {
  String = 1,      // const char*, NUL-terminated
  WideString = 2,  // const char16_t*, `length` units or UINT32_MAX for NUL-terminated
  Int64 = 3,
  UInt64 = 4,
  Int32 = 5,
  UInt32 = 6,
  Double = 7,
};

// One typed argument of a log call. How an argument prints is decided by its type, never by the
// directive letter, so a wrong letter in a format cannot misread memory.
struct LogArg {
  LogArgType type;
  union {
    const char* text;
    const char16_t* wideText;
    int64_t i64;
    uint64_t u64;
    int32_t i32;
    uint32_t u32;
    double d;
  } value;
  uint32_t length;

  static constexpr uint32_t kToTerminator = 0xFFFFFFFFu;

  static LogArg String(const char* s) {
    LogArg a{LogArgType::String, {}, 0};
    a.value.text = s;
    return a;
  }
  static LogArg Wide(const char16_t* s, uint32_t length = kToTerminator) {
    LogArg a{LogArgType::WideString, {}, length};
    a.value.wideText = s;
    return a;
  }
  static LogArg Int64(int64_t v) {
    LogArg a{LogArgType::Int64, {}, 0};
    a.value.i64 = v;
    return a;
  }
  static LogArg UInt64(uint64_t v) {
    LogArg a{LogArgType::UInt64, {}, 0};
    a.value.u64 = v;
    return a;
  }
  static LogArg Int32(int32_t v) {
    LogArg a{LogArgType::Int32, {}, 0};
    a.value.u64 = 0;
    a.value.i32 = v;
    return a;
  }
  static LogArg UInt32(uint32_t v) {
    LogArg a{LogArgType::UInt32, {}, 0};
    a.value.u64 = 0;
    a.value.u32 = v;
    return a;
  }
  static LogArg Double(double v) {
    LogArg a{LogArgType::Double, {}, 0};
    a.value.d = v;
    return a;
  }
};

}  // namespace tessel
