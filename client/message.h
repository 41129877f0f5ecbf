#pragma once

#include <string>

// Builds the texts of the client's Status values.
namespace tessel::client_detail {

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tessel::client_detail
