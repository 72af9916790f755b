#pragma once

// How mirx_logrx shows what reaches it: one line per datagram, so that the
// output can be read, grepped and followed with tail.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mirx::logrx {

// Hex bytes shown for a datagram that is not a record; the length is always
// shown in full.
inline constexpr std::size_t hex_limit = 64;

// The line (without its newline) for one received datagram. `stamp` is the
// time of arrival, `source` the sender as text, shown only for a datagram
// that is not a record. A record is exactly 32 bytes with a known tag;
// anything else is shown as its length and bytes, so no datagram can make
// the receiver fail or write control characters to the terminal.
std::string format_datagram(const std::uint8_t* data, std::size_t length, std::string_view stamp,
                            std::string_view source);

}  // namespace mirx::logrx
