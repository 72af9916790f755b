#pragma once

// The 32-byte record sent to the log server for each relayed header (ACC),
// added node (ADD) and removed node (DEL); with LogStreams=ON also for each
// ended stream (END), for the server's start (RUN), heartbeat (HBT) and stop
// (OFF), and for a slice of the table after each heartbeat (NOD). Bytes the
// record does not use are zero, so nothing from memory or an earlier record
// reaches the wire. Every tag is four ASCII characters,
// the fourth a space, so a receiver that knows only some tags can skip the
// others by their tag alone. Numbers are unsigned, high byte first.

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

// END: a stream (a header and the voice that followed it from one address)
// has ended. call1/call2 as in the stream's ACC record; my_call of its header.
inline constexpr char tag_end[] = "END ";
inline constexpr std::size_t end_how = 4;                // one of the end_by_ values
inline constexpr std::size_t duration_ms = 5;            // 24 bits: header to last voice
inline constexpr std::uint32_t duration_cap = 0xFFFFFF;  // longer streams say this
inline constexpr std::uint8_t end_by_mark = 1;           // end-of-transmission mark
inline constexpr std::uint8_t end_by_silence = 2;        // no voice for the silence limit
inline constexpr std::uint8_t end_by_superseded = 3;     // a new header from the address
inline constexpr std::uint8_t end_by_timeout = 4;        // cut at MaxOverSeconds

// REF: with OneTalker=ON, a header refused while another stream held the
// conference. call1 of the refused speaker's node (empty when it is not
// registered), my_call of the one talking, my_call of the refused header.
inline constexpr char tag_ref[] = "REF ";
inline constexpr std::size_t talker = 16;

// ECH: an echo test has been recorded and its playback begins. call1/call2 of
// the speaker's node, my_call of its header; the recording's length, header
// to last voice packet, at duration_ms as in END.
inline constexpr char tag_ech[] = "ECH ";

// RUN (sockets bound, table empty), HBT (every heartbeat period) and OFF (the
// stop's last steps) share one layout: 32-bit numbers at these offsets.
inline constexpr char tag_run[] = "RUN ";
inline constexpr char tag_hbt[] = "HBT ";
inline constexpr char tag_off[] = "OFF ";
inline constexpr std::size_t table_size = 8;     // entries in the node table
inline constexpr std::size_t seconds_up = 12;    // since the sockets were bound
inline constexpr std::size_t streams_open = 16;  // streams in progress
inline constexpr std::size_t heartbeat_s = 20;   // the heartbeat period, seconds
inline constexpr std::size_t silence_ms = 24;    // the stream silence limit, ms

// NOD (LogStreams=ON): a node that is in the table, re-announced a slice of
// the table after each heartbeat; laid out as ADD. It tells a receiver that
// started after the node registered what an ADD would have told it.
inline constexpr char tag_nod[] = "NOD ";

// DXC: a DExtra client linked, unlinked, was dropped or refused; DXL: a
// DExtra link to another reflector changed state. The change at peer_change
// (the door's numbering, named where the records are shown), call1 the
// client's or the linked reflector's call sign, call2 how it is connected
// ("DExtra" and the module letter), then its address and port.
inline constexpr char tag_dxc[] = "DXC ";
inline constexpr char tag_dxl[] = "DXL ";
inline constexpr std::size_t peer_change = 4;
inline constexpr std::size_t peer_port = 28;  // 16 bits
inline constexpr std::size_t peer_module = 30;

// HDR (LogStreams=ON): what a relayed header says beside its ACC record:
// the suffix of its my_call (four characters), call1 as in the ACC record,
// its your_call and its my_call.
inline constexpr char tag_hdr[] = "HDR ";
inline constexpr std::size_t suffix = 4;
inline constexpr std::size_t your_call = 16;

// TXT (LogStreams=ON): once per stream, when the 20-character text message
// its slow data carries has come whole: the stream's my_call and the text.
inline constexpr char tag_txt[] = "TXT ";
inline constexpr std::size_t text_my_call = 4;
inline constexpr std::size_t text = 12;
inline constexpr std::size_t text_size = 20;

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

// Writes the low `width` bytes of `value` at `at`, high byte first.
inline void put_number(bytes& r, std::size_t at, std::uint32_t value, std::size_t width = 4) {
  for (std::size_t i = 0; i < width; ++i)
    r[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

// Reads `width` bytes at `at`, high byte first.
inline std::uint32_t get_number(const std::uint8_t* r, std::size_t at, std::size_t width = 4) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | r[at + i];
  return value;
}

}  // namespace mirx::record
