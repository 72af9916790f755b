#pragma once

// IPv4 addresses are kept in network byte order exactly as the socket layer
// delivers them: the first octet is the first byte in memory. Their text is
// written and read here only, so that every line and file shows them alike.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace mirx {

struct octets {
  unsigned a, b, c, d;  // first octet first
};

inline octets octets_of(std::uint32_t ip) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &ip, 4);
  return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

// The address as printed in "send error" lines: the four octets in network
// order read as a little-endian number, whatever the host's byte order
// (192.168.1.20 gives 0x1401a8c0).
inline unsigned address_as_hex(std::uint32_t ip) {
  octets o = octets_of(ip);
  return o.a | (o.b << 8) | (o.c << 16) | (o.d << 24);
}

// The address as a number that orders like its text: first octet highest.
inline std::uint32_t host_order(std::uint32_t ip) {
  const octets o = octets_of(ip);
  return o.a << 24 | o.b << 16 | o.c << 8 | o.d;
}

// An address from its four octets, first octet first.
inline std::uint32_t address_of(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

// "a.b.c.d", at most 15 characters and the terminating zero.
struct dotted_text {
  char text[16];
};
dotted_text dotted(std::uint32_t ip);

// A decimal number at the front of `t`, taken off: 1 to 3 digits, no leading
// zero, at most `max`. Nothing, and `t` in an unspecified place, otherwise.
std::optional<unsigned> take_decimal(std::string_view& t, unsigned max);

// "a.b.c.d" at the front of `t`, taken off: exactly four such numbers of at
// most 255, so that no text means two different addresses.
std::optional<std::uint32_t> take_ipv4(std::string_view& t);

// The whole of `text` as one address, nothing before or after it.
std::optional<std::uint32_t> parse_ipv4(std::string_view text);

}  // namespace mirx
