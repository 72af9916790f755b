#pragma once

// IPv4 addresses are kept in network byte order exactly as the socket layer
// delivers them: the first octet is the first byte in memory.

#include <cstdint>
#include <cstring>

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

// An address from its four octets, first octet first.
inline std::uint32_t address_of(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

}  // namespace mirx
