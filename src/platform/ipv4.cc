#include "platform/ipv4.h"

#include <cstdio>

namespace mirx {

dotted_text dotted(std::uint32_t ip) {
  const octets o = octets_of(ip);
  dotted_text t;
  std::snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", o.a, o.b, o.c, o.d);
  return t;
}

std::optional<unsigned> take_decimal(std::string_view& t, unsigned max) {
  std::size_t n = 0;
  while (n < t.size() && n < 4 && t[n] >= '0' && t[n] <= '9') ++n;
  if (n == 0 || n > 3 || (n > 1 && t[0] == '0')) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = 0; i < n; ++i) value = value * 10 + static_cast<unsigned>(t[i] - '0');
  t.remove_prefix(n);
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> take_ipv4(std::string_view& t) {
  std::uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (t.empty() || t.front() != '.') return std::nullopt;
      t.remove_prefix(1);
    }
    const std::optional<unsigned> value = take_decimal(t, 255);
    if (!value) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(*value);
  }
  return address_of(bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::optional<std::uint32_t> parse_ipv4(std::string_view text) {
  const std::optional<std::uint32_t> ip = take_ipv4(text);
  if (!ip || !text.empty()) return std::nullopt;
  return ip;
}

}  // namespace mirx
