#pragma once

// The one rule for call-sign fields: a field's value is its bytes before the
// first zero byte, at most 8. Copies into the server's own fields hold that
// value filled up with zero bytes, so two stored copies are equal exactly
// when their values are, and a copy prints with "%.8s".

#include <array>
#include <cstdint>
#include <cstring>

#include "node/datagrams.h"

namespace mirx {

using callsign = std::array<char, call_size>;

// The value of the 8-byte field at `field`, zero-filled.
inline callsign callsign_of(const std::uint8_t* field) {
  callsign c{};
  for (std::size_t i = 0; i < call_size && field[i] != 0; ++i) c[i] = static_cast<char>(field[i]);
  return c;
}

inline callsign callsign_of(const char* text) {
  return callsign_of(reinterpret_cast<const std::uint8_t*>(text));
}

// Puts a stored call sign into an 8-byte field of a datagram or record.
inline void put_callsign(std::uint8_t* field, const callsign& c) {
  std::memcpy(field, c.data(), call_size);
}

// A byte as the console and the log file show it: control characters (line
// breaks, escapes) become '?', so that a node cannot write lines or terminal
// controls of its own choosing into them.
inline char shown_char(std::uint8_t b) {
  return b < 0x20 || b == 0x7f ? '?' : static_cast<char>(b);
}

// A call sign as printed with "%.8s": its value with every byte shown as
// shown_char does. Stored, relayed, echoed and recorded call signs keep their
// bytes; only what is printed changes, and only for control characters.
struct shown_callsign {
  char text[call_size + 1];
};

inline shown_callsign printable(const callsign& c) {
  shown_callsign s{};
  for (std::size_t i = 0; i < call_size && c[i] != 0; ++i)
    s.text[i] = shown_char(static_cast<std::uint8_t>(c[i]));
  return s;
}

}  // namespace mirx
