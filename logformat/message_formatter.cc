#include "logformat/message_formatter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "foundation/memory.h"

namespace tessel {

namespace {

// Longest renderings: "-9223372036854775808", and 7 groups of at most 4 digits with 6 commas.
constexpr size_t kInt64Digits = 20;
constexpr size_t kInt32Digits = 11;
constexpr size_t kByteSizeChars = 7 * 4 + 6;
// "%.3f" of a value whose thousandths fit in 64 bits: sign, 20 digits, the point.
constexpr size_t kShortDouble = kInt64Digits + 2;
// DBL_MAX in fixed notation: 309 digits, the sign, the point and three decimals.
constexpr size_t kLongDouble = 320;

enum class Mode { Plain, ByteSize, TimeSpan };

uint64_t RawValue(const LogArg& arg) {
  uint64_t raw;
  std::memcpy(&raw, &arg.value, sizeof raw);
  return raw;
}

// Writes through `render` straight into the output when the longest result fits there, else
// through a stack temporary, so a full chunk is not grown for a short number.
template <size_t MaxChars, typename Render>
void AppendRendered(FormatBuffer& out, Render render) {
  if (out.Room() >= MaxChars) {
    char* at = out.Grow(MaxChars);
    out.Commit(render(at, at + MaxChars) - at);
  } else {
    char temp[MaxChars];
    out.Append(temp, render(temp, temp + MaxChars) - temp);
  }
}

template <typename Int, size_t MaxChars>
void AppendInteger(FormatBuffer& out, Int value) {
  AppendRendered<MaxChars>(
      out, [value](char* first, char* last) { return std::to_chars(first, last, value).ptr; });
}

// "%.3f" of a value whose thousandths fit in 64 bits, rounded as printf rounds: from the exact
// binary value, to nearest, ties to even. False for the rest (huge, infinite, not a number).
bool RenderFixed3(char* first, double value, char** end) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const unsigned field = static_cast<unsigned>(bits >> 52) & 0x7FF;
  if (field == 0x7FF) return false;
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exponent = -1074;
  if (field != 0) {
    mantissa |= uint64_t{1} << 52;
    exponent = static_cast<int>(field) - 1075;
  }
  // value = mantissa * 2^exponent, and mantissa * 1000 < 2^63.
  const uint64_t scaled = mantissa * 1000;
  uint64_t thousandths = 0;
  if (exponent >= 0) {
    if (exponent >= 64 || scaled > (~uint64_t{0} >> exponent)) return false;
    thousandths = scaled << exponent;
  } else if (exponent > -64) {
    const int shift = -exponent;
    thousandths = scaled >> shift;
    const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (thousandths & 1) != 0)) ++thousandths;
  }  // else below half a thousandth: 0
  char digits[kInt64Digits];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + thousandths % 10);
    thousandths /= 10;
  } while (thousandths != 0);
  while (count < 4) digits[count++] = '0';
  char* at = first;
  if ((bits >> 63) != 0) *at++ = '-';
  for (int i = count - 1; i >= 3; --i) *at++ = digits[i];
  *at++ = '.';
  for (int i = 2; i >= 0; --i) *at++ = digits[i];
  *end = at;
  return true;
}

// The "%2.3f" rendering. Common values are rounded above, the rest by printf itself:
// std::to_chars would do both, but it links the math library into every program that logs, and
// each worker's start would pay for loading it.
void AppendFixed3(FormatBuffer& out, double value) {
  if (out.Room() >= kShortDouble) {
    char* at = out.Grow(kShortDouble);
    char* end = nullptr;
    if (RenderFixed3(at, value, &end)) {
      out.Commit(end - at);
      return;
    }
  }
  char text[kLongDouble];
  char* end = nullptr;
  if (RenderFixed3(text, value, &end)) {
    out.Append(text, end - text);
    return;
  }
  const int length = std::snprintf(text, sizeof text, "%.3f", value);
  if (length > 0) out.Append(text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

char* RenderByteSize(char* first, uint64_t value) {
  if (value == 0) {
    *first = '0';
    return first + 1;
  }
  uint32_t groups[7];
  int count = 0;
  while (value != 0) {
    groups[count++] = static_cast<uint32_t>(value & 1023);
    value >>= 10;
  }
  char* at = first;
  for (int i = count - 1; i >= 0; --i) {
    at = std::to_chars(at, at + 4, groups[i]).ptr;
    if (i != 0) *at++ = ',';
  }
  return at;
}

// Writes UTF-16 as UTF-8. A surrogate without its partner has no narrow form and becomes "?".
void AppendWide(FormatBuffer& out, const char16_t* text, size_t length) {
  // Batches keep the reservation bounded for long texts. A batch of n units needs at most 3n
  // bytes, plus one when a pair straddles its end (4 bytes for 2 units).
  constexpr size_t kBatch = 340;
  size_t i = 0;
  while (i < length) {
    const size_t batchEnd = i + std::min(kBatch, length - i);
    char* const start = out.Grow((batchEnd - i) * 3 + 1);
    char* at = start;
    while (i < batchEnd) {
      const uint32_t unit = text[i++];
      if (unit < 0x80) {
        *at++ = static_cast<char>(unit);
      } else if (unit < 0x800) {
        *at++ = static_cast<char>(0xC0 | (unit >> 6));
        *at++ = static_cast<char>(0x80 | (unit & 0x3F));
      } else if (unit < 0xD800 || unit > 0xDFFF) {
        *at++ = static_cast<char>(0xE0 | (unit >> 12));
        *at++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (unit & 0x3F));
      } else if (unit <= 0xDBFF && i < length && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
        const uint32_t code = 0x10000 + ((unit - 0xD800) << 10) + (text[i++] - 0xDC00);
        *at++ = static_cast<char>(0xF0 | (code >> 18));
        *at++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (code & 0x3F));
      } else {
        *at++ = '?';
      }
    }
    out.Commit(at - start);
  }
}

void AppendPlain(FormatBuffer& out, LogArg& arg) {
  const uint64_t raw = RawValue(arg);
  switch (arg.type) {
    case LogArgType::String:
      if (arg.value.text != nullptr) out.Append(arg.value.text, std::strlen(arg.value.text));
      break;
    case LogArgType::WideString: {
      const char16_t* text = arg.value.wideText;
      if (text == nullptr) break;
      if (arg.length == LogArg::kToTerminator) {
        size_t counted = 0;
        while (text[counted] != 0) ++counted;
        // A text this long cannot be told from the marker; it is cut rather than misread.
        if (counted >= LogArg::kToTerminator) counted = LogArg::kToTerminator - 1;
        arg.length = static_cast<uint32_t>(counted);
      }
      AppendWide(out, text, arg.length);
      break;
    }
    case LogArgType::Int64:
    case LogArgType::UInt64:
      AppendInteger<int64_t, kInt64Digits>(out, static_cast<int64_t>(raw));
      break;
    case LogArgType::Int32:
    case LogArgType::UInt32:
      AppendInteger<int32_t, kInt32Digits>(out, static_cast<int32_t>(static_cast<uint32_t>(raw)));
      break;
    case LogArgType::Double:
      AppendFixed3(out, std::bit_cast<double>(raw));
      break;
    default:
      break;
  }
}

void AppendRecord(FormatBuffer& out, LogArg& arg, Mode mode) {
  const uint64_t raw = RawValue(arg);
  if (mode == Mode::ByteSize) {
    switch (arg.type) {
      case LogArgType::Int64:
      case LogArgType::UInt64:
        return AppendByteSize(out, raw);
      case LogArgType::Int32:
        return AppendByteSize(
            out, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw))));
      case LogArgType::UInt32:
        return AppendByteSize(out, static_cast<uint32_t>(raw));
      default:
        break;
    }
  } else if (mode == Mode::TimeSpan) {
    switch (arg.type) {
      case LogArgType::Int64:
        return AppendTimeSpan(out, static_cast<double>(static_cast<int64_t>(raw)));
      case LogArgType::UInt64:
        return AppendTimeSpan(out, static_cast<double>(raw));
      case LogArgType::Int32:
        return AppendTimeSpan(out, static_cast<double>(static_cast<int32_t>(raw)));
      case LogArgType::UInt32:
        return AppendTimeSpan(out, static_cast<double>(static_cast<uint32_t>(raw)));
      case LogArgType::Double:
        return AppendTimeSpan(out, std::bit_cast<double>(raw));
      default:
        break;
    }
  }
  AppendPlain(out, arg);
}

}  // namespace

FormatBuffer::~FormatBuffer() {
  if (onHeap_) std::free(data_);
}

void FormatBuffer::Reallocate(size_t needed) {
  constexpr size_t kLimit = std::numeric_limits<size_t>::max() / 4;
  if (needed > kLimit || size_ > kLimit) ReportAllocationFailure(0xFFFFFFFFu);
  size_t capacity = std::max(size_ + needed, capacity_ * 2);
  capacity = (capacity + kChunk - 1) / kChunk * kChunk;
  const auto reportSize =
      static_cast<uint32_t>(std::min<size_t>(capacity, std::numeric_limits<uint32_t>::max()));
  char* data;
  if (onHeap_) {
    data = static_cast<char*>(std::realloc(data_, capacity));
    if (data == nullptr) ReportAllocationFailure(reportSize);
  } else {
    // The lent scratch block stays the caller's: copy out of it, never free it.
    data = static_cast<char*>(std::malloc(capacity));
    if (data == nullptr) ReportAllocationFailure(reportSize);
    if (size_ != 0) std::memcpy(data, data_, size_);
    onHeap_ = true;
  }
  data_ = data;
  capacity_ = capacity;
}

void MessageFormatter(FormatBuffer& out, const char* format, LogArg* args, uint32_t count) {
  if (format == nullptr) return;
  if (args == nullptr) count = 0;
  uint32_t next = 0;
  const char* at = format;
  for (;;) {
    const char* percent = strchrnul(at, '%');
    out.Append(at, percent - at);
    if (*percent == 0) break;
    at = percent;
    Mode mode = Mode::Plain;
    bool last = false;
    if (at[1] == '%') {
      out.Append('%');
      at += 2;
      continue;
    } else if (at[1] == 'I' && at[2] == '6' && at[3] == '4' && at[4] == 'd') {
      at += 5;
    } else if (at[1] == '2' && at[2] == '.' && at[3] == '3' && at[4] == 'f') {
      at += 5;
    } else if (at[1] == 'b') {
      mode = Mode::ByteSize;
      at += 2;
    } else if (at[1] == 't' && at[2] == 's') {
      mode = Mode::TimeSpan;
      at += 3;
    } else if (at[1] == 0) {
      last = true;
    } else {
      at += 2;
    }
    if (next < count) AppendRecord(out, args[next++], mode);
    if (last) break;
  }
}

void AppendByteSize(FormatBuffer& out, uint64_t value) {
  AppendRendered<kByteSizeChars>(
      out, [value](char* first, char*) { return RenderByteSize(first, value); });
}

std::string FormatByteSize(uint64_t value) {
  char text[kByteSizeChars];
  return std::string(text, RenderByteSize(text, value));
}

void AppendTimeSpan(FormatBuffer& out, double seconds) {
  // Strict comparisons: exactly one minute is still "60.000 sec".
  if (seconds > 86400) {
    AppendFixed3(out, seconds / 86400);
    out.Append(" day");
  } else if (seconds > 3600) {
    AppendFixed3(out, seconds / 3600);
    out.Append(" hour");
  } else if (seconds > 60) {
    AppendFixed3(out, seconds / 60);
    out.Append(" min");
  } else {
    AppendFixed3(out, seconds);
    out.Append(" sec");
  }
}

std::string FormatTimeSpan(double seconds) {
  char scratch[64];
  FormatBuffer out(scratch, sizeof scratch);
  AppendTimeSpan(out, seconds);
  return std::string(out.View());
}

std::string FormatMessage(const char* format, LogArg* args, uint32_t count) {
  char scratch[FormatBuffer::kChunk];
  FormatBuffer out(scratch, sizeof scratch);
  MessageFormatter(out, format, args, count);
  return std::string(out.View());
}

}  // namespace tessel
