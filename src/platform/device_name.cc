#include "platform/device_name.h"

#include <cctype>
#include <charconv>
#include <cstring>

namespace mirx::platform {
namespace {

// The number after `prefix` (compared in any case) when `name` is exactly the
// prefix followed by decimal digits; -1 otherwise.
long alias_number(const char* name, const char* prefix) {
  const std::size_t p = std::strlen(prefix);
  for (std::size_t i = 0; i < p; ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i]) return -1;
  const char* first = name + p;
  const char* last = first + std::strlen(first);
  if (first == last) return -1;
  for (const char* c = first; c != last; ++c)
    if (!std::isdigit(static_cast<unsigned char>(*c))) return -1;
  long n = 0;
  const auto [end, error] = std::from_chars(first, last, n);
  return error == std::errc() && end == last ? n : -1;
}

}  // namespace

std::string device_path(const char* name) {
  if (const long n = alias_number(name, "com"); n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  if (const long n = alias_number(name, "usb"); n >= 0) return "/dev/ttyUSB" + std::to_string(n);
  if (const long n = alias_number(name, "acm"); n >= 0) return "/dev/ttyACM" + std::to_string(n);
  return std::string("/dev/") + name;
}

}  // namespace mirx::platform
