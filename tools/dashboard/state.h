#pragma once

// What the dashboard knows, built from the server's log records alone: the
// node table as the records describe it, the last speakers heard, the
// headers per hour and the feed's counters. Everything here is a pure
// function of the records and the times given with them, so a test can play
// a sequence of datagrams and read the result.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace mirx::dashboard {

// Wall-clock time in milliseconds since 1970-01-01 UTC.
using millis = std::int64_t;

inline constexpr std::size_t heard_limit = 50;  // entries kept in the last-heard list
inline constexpr int hours_kept = 24;           // hourly counts kept, this hour included
inline constexpr millis hour_ms = 3600 * 1000;

// A call-sign value: the field's bytes before its first zero byte, at most
// 8. Any byte 1..255 may appear; nothing here interprets them.
using call_value = std::string;

struct node_row {
  call_value call1, call2;
  std::uint32_t ip = 0;    // network byte order, first octet first in memory
  millis since = 0;        // when its ADD arrived
  millis last_header = 0;  // 0: none heard through it yet
  call_value last_speaker;
};

struct heard_entry {
  millis at = 0;
  call_value my_call;
  call_value call1, call2;  // empty: the sender had no entry in the server's table
};

struct feed_counters {
  std::uint64_t add = 0, del = 0, acc = 0;
  std::uint64_t rejected = 0;   // from a source not allowed by --from
  std::uint64_t malformed = 0;  // not 32 bytes, or an unknown tag
};

struct state {
  std::map<call_value, node_row> nodes;         // keyed by call1, as the server keys its table
  std::deque<heard_entry> heard;                // newest first, at most heard_limit
  std::map<std::int64_t, std::uint64_t> hours;  // hour number (ms / hour_ms) -> headers
  feed_counters count;
  millis watching_since = 0;
  millis last_record = 0;  // 0: none yet
};

// What one datagram did, so that the live page can be told just that.
enum class change { rejected, malformed, added, moved, removed, unknown_removed, heard };

struct outcome {
  change what = change::malformed;
  call_value call1;  // the node concerned, for added, moved, removed and heard
};

// Addresses allowed to send records; empty allows every address.
struct source_policy {
  std::vector<std::uint32_t> from;
};

// Applies one received datagram of `length` bytes from `source` at `now`.
// A record is exactly 32 bytes with the tag "ADD ", "DEL " or "ACC ";
// anything else is only counted. An ADD for a call sign already shown is the
// node reappearing (a lost DEL, a restarted server): its row is replaced, so
// one call sign never has two rows. A DEL removes the row of its call1.
outcome apply_datagram(state& s, const source_policy& policy, std::uint32_t source,
                       const std::uint8_t* data, std::size_t length, millis now);

// Drops hourly counts older than the last hours_kept hours.
void prune_hours(state& s, millis now);

}  // namespace mirx::dashboard
