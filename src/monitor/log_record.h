#pragma once

// The 32-byte record sent to the log server for each relayed header (ACC),
// added node (ADD) and removed node (DEL). Bytes the record does not use are
// zero, so nothing from memory or an earlier record reaches the wire.

#include <array>
#include <cstdint>
#include <cstring>

namespace mirx::record {

inline constexpr std::size_t size = 32;
inline constexpr std::size_t tag = 0;       // 4 characters, the fourth a space
inline constexpr std::size_t call1 = 8;     // of the node concerned
inline constexpr std::size_t call2 = 16;    // of the node concerned
inline constexpr std::size_t ip = 24;       // ADD, DEL: address, first octet first
inline constexpr std::size_t my_call = 24;  // ACC: my_call of the relayed header

inline constexpr char tag_acc[] = "ACC ";
inline constexpr char tag_add[] = "ADD ";
inline constexpr char tag_del[] = "DEL ";

using bytes = std::array<std::uint8_t, size>;
// A call sign as the node table stores it: 8 bytes, zero-filled after its
// value.
using call_field = std::array<char, 8>;

inline bytes make(const char (&tag_text)[5]) {
  bytes r{};
  std::memcpy(r.data() + tag, tag_text, 4);
  return r;
}

// An ADD or DEL record for a node.
inline bytes node_event(const char (&tag_text)[5], const call_field& c1, const call_field& c2,
                        std::uint32_t address) {
  bytes r = make(tag_text);
  std::memcpy(r.data() + call1, c1.data(), c1.size());
  std::memcpy(r.data() + call2, c2.data(), c2.size());
  std::memcpy(r.data() + ip, &address, 4);
  return r;
}

}  // namespace mirx::record
