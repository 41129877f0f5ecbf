#pragma once

#include <string>

namespace tessel {

// strerror text without trailing full stops and blanks.
std::string SystemMessageText(int code);
// "0" for 0, else the code in decimal, ", " and SystemMessageText(code).
std::string DescribeError(int code);
// DescribeError(errno), read at the call.
std::string DescribeLastError();

}  // namespace tessel
