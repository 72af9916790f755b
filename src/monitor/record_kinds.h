#pragma once

// Every record tag the server sends and every way END says a stream ended,
// listed once. Receivers (mirx_logrx, the dashboard's state, JSON, metrics,
// state file and page) take their names from here, so a new record or a new
// way of ending is one row.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

#include "monitor/log_record.h"

namespace mirx::record {

// Which fields a record carries, and so how a receiver reads it.
enum class layout {
  node,        // ADD, DEL, NOD: call1, call2, ip
  heard,       // ACC: call1, call2, my_call
  stream_end,  // END: call1, call2, my_call, end_how, duration_ms
  server,      // RUN, HBT, OFF: the 32-bit numbers
  refusal,     // REF: call1, talker, my_call
  echo,        // ECH: call1, call2, my_call, duration_ms
  peer,        // DXC, DXL: peer_change, call1, call2, ip, peer_port, peer_module
  details,     // HDR: suffix, call1, your_call, my_call
  text,        // TXT: text_my_call, text
};

struct kind {
  const char* tag;  // four characters, the last a space
  layout shape;

  // The tag without its space, as people and counters name the record.
  std::string_view name() const { return {tag, 3}; }
};

inline constexpr kind kinds[] = {
    {tag_add, layout::node},       {tag_del, layout::node},   {tag_acc, layout::heard},
    {tag_end, layout::stream_end}, {tag_run, layout::server}, {tag_hbt, layout::server},
    {tag_off, layout::server},     {tag_nod, layout::node},   {tag_ref, layout::refusal},
    {tag_ech, layout::echo},       {tag_dxc, layout::peer},   {tag_dxl, layout::peer},
    {tag_hdr, layout::details},    {tag_txt, layout::text},
};
inline constexpr std::size_t kind_count = std::size(kinds);

// The row of a datagram that is a record; null for anything else.
inline const kind* kind_of(const std::uint8_t* data, std::size_t length) {
  if (length != size) return nullptr;
  for (const kind& k : kinds)
    if (std::memcmp(data + tag, k.tag, 4) == 0) return &k;
  return nullptr;
}

// Its place in `kinds`, for counters kept per kind.
inline std::size_t index_of(const kind& k) {
  return static_cast<std::size_t>(&k - kinds);
}

struct end_way {
  std::uint8_t how;  // END's byte end_how
  const char* text;  // as a line shows it
  const char* key;   // as JSON and a page's code name it
};

inline constexpr end_way end_ways[] = {
    {end_by_mark, "mark", "mark"},
    {end_by_silence, "silence", "silence"},
    {end_by_superseded, "superseded", "superseded"},
    {end_by_timeout, "timed out", "timed_out"},
};

// What a DXC or DXL record's peer_change byte says.
inline constexpr const char* peer_changes[] = {
    "?",       "linked",  "unlinked", "dropped", "refused",    "full",
    "linking", "link up", "refused",  "lost",    "no address",
};

inline const char* peer_change_text(unsigned change) {
  return change < std::size(peer_changes) ? peer_changes[change] : "?";
}

// The row of `how`; null for a value no server sends.
inline const end_way* end_way_of(unsigned how) {
  for (const end_way& w : end_ways)
    if (w.how == how) return &w;
  return nullptr;
}

}  // namespace mirx::record
