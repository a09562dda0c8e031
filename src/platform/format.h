// printf-style formatting into std::string, for the fixed trace and display formats.
#pragma once

#include <cstdarg>
#include <string>

namespace kestrel {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);

}  // namespace kestrel
