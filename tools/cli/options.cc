#include "cli/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/ipv4.h"

namespace mirx::cli {
namespace {

const option* find(const std::vector<option>& table, const std::string& name) {
  for (const option& o : table)
    if (o.name == name) return &o;
  return nullptr;
}

bool starts_with_dashes(const std::string& text) {
  return text.rfind("--", 0) == 0;
}

}  // namespace

std::string parse(int argc, const char* const* argv, int first, const std::vector<option>& table,
                  unsigned scope, const std::string& command) {
  for (int i = first; i < argc; ++i) {
    std::string name = argv[i], value;
    if (!starts_with_dashes(name)) return "unexpected argument \"" + name + "\"";
    const std::size_t eq = name.find('=');
    const bool inline_value = eq != std::string::npos;
    if (inline_value) value = name.substr(eq + 1), name.resize(eq);
    const option* o = find(table, name);
    if (o == nullptr) return "unknown option \"" + name + "\"";
    if ((o->scope & scope) == 0) return name + " does not apply to " + command;
    if (!o->takes_value && inline_value) return name + " takes no value";
    // The next argument is taken as the value unless it is an option itself:
    // "--bind --timeout 1" lacks a value rather than binding "--timeout".
    if (o->takes_value && !inline_value) {
      if (i + 1 >= argc || starts_with_dashes(argv[i + 1])) return name + " needs a value";
      value = argv[++i];
    }
    if (std::string why = o->set(value); !why.empty()) return why;
  }
  return "";
}

std::string whole_number(const std::string& option, const std::string& value, long long low,
                         long long high, long long& out) {
  long long v = 0;
  const char* end = value.data() + value.size();
  const auto [at, ec] = std::from_chars(value.data(), end, v);
  if (value.empty() || ec != std::errc() || at != end || v < low || v > high)
    return option + " wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
           ", not \"" + value + "\"";
  out = v;
  return "";
}

std::string port(const std::string& option, const std::string& value, std::uint16_t& out,
                 bool zero_allowed) {
  long long v = 0;
  if (!whole_number(option, value, zero_allowed ? 0 : 1, 65535, v).empty())
    return option + " wants a port number from " + (zero_allowed ? "0" : "1") +
           " to 65535, not \"" + value + "\"";
  out = static_cast<std::uint16_t>(v);
  return "";
}

namespace {

// Decimal digits with at most one point among them: what strtod would also
// take (a sign, an exponent, hex, "inf") is not a number of seconds here.
bool plain_decimal(const std::string& value) {
  const bool digit = value.find_first_of("0123456789") != std::string::npos;
  return digit && value.find_first_not_of("0123456789.") == std::string::npos &&
         std::count(value.begin(), value.end(), '.') <= 1;
}

}  // namespace

std::string seconds(const std::string& option, const std::string& value, double max, int& out_ms) {
  char* end = nullptr;
  const double s = plain_decimal(value) ? std::strtod(value.c_str(), &end) : 0;
  if (!plain_decimal(value) || *end != '\0' || !(s > 0) || s > max) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%.0f", max);
    return option + " wants seconds above 0 and up to " + limit + ", not \"" + value + "\"";
  }
  out_ms = std::max(1, static_cast<int>(std::lround(s * 1000)));
  return "";
}

std::string ipv4(const std::string& option, const std::string& value, std::string& out) {
  if (!parse_ipv4(value))
    return option + " wants an IPv4 address such as 127.0.0.2, not \"" + value + "\"";
  out = value;
  return "";
}

std::string fitting(const std::string& what, const std::string& option, const std::string& value,
                    std::size_t limit, std::string& out) {
  if (value.size() > limit)
    return what + " \"" + value + "\" (" + option + ") is longer than " + std::to_string(limit) +
           " bytes";
  out = value;
  return "";
}

int refuse(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n%s --help shows the usage\n", program, message.c_str(), program);
  return exit_usage;
}

}  // namespace mirx::cli
