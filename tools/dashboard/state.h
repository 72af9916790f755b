#pragma once

// What the dashboard knows, built from the server's log records alone: the
// node table as the records describe it, the last speakers heard, the
// headers per hour and the feed's counters. Everything here is a pure
// function of the records and the times given with them, so a test can play
// a sequence of datagrams and read the result.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "monitor/record_kinds.h"

namespace mirx::dashboard {

// Wall-clock time in milliseconds since 1970-01-01 UTC.
using millis = std::int64_t;

// The time now, as the records' arrival is stamped.
inline millis wall_now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

inline constexpr std::size_t heard_limit = 50;  // entries kept in the last-heard list
inline constexpr int hours_kept = 24;           // hourly counts kept, this hour included
inline constexpr millis hour_ms = 3600 * 1000;
inline constexpr millis day_ms = 24 * hour_ms;
// Every time zone's midnight falls on a quarter hour, so overs counted per
// quarter hour add up to the overs of any zone's day.
inline constexpr millis quarter_ms = hour_ms / 4;
// Node rows kept at most: each ADD of a new call sign beyond this drops the
// row registered longest ago, so a flood of distinct ADDs cannot grow memory.
inline constexpr std::size_t node_limit = 10000;
inline constexpr std::size_t talking_limit = 64;     // streams shown in progress at most
inline constexpr millis recent_ms = 10 * 60 * 1000;  // junk older than this is no warning

// A call-sign value: the field's bytes before its first zero byte, at most
// 8. Any byte 1..255 may appear; nothing here interprets them.
using call_value = std::string;

// How a row's station is connected: a node registered in the server's
// table, or a DExtra client or link, which the server's DExtra door tells of
// (DXC, DXL) and which its re-announcements do not cover.
enum class connection : std::uint8_t { node, dextra_client, dextra_link };

struct node_row {
  call_value call1, call2;
  std::uint32_t ip = 0;    // network byte order, first octet first in memory
  millis since = 0;        // when its ADD arrived; 0: unknown (known from NOD alone)
  millis last_header = 0;  // 0: none heard through it yet
  call_value last_speaker;
  std::uint64_t confirmed_at = 0;  // state::nods when its ADD or NOD last came
  connection how = connection::node;
  char module = 0;  // a DExtra client's or link's module letter
  // Headers through it on the UTC day `overs_day` (ms / day_ms).
  std::uint32_t overs = 0;
  std::int64_t overs_day = 0;
};

inline constexpr std::int64_t no_duration = -1;

// What the server's HDR and TXT records add to an over: the suffix of its
// my_call and its your_call, and the text message of its slow data; empty
// until they come.
struct over_details {
  std::string suffix, your_call, text;
};

struct heard_entry {
  millis at = 0;
  call_value my_call;
  call_value call1, call2;                 // empty: the sender had no entry in the server's table
  std::int64_t duration_ms = no_duration;  // set by the stream's end record
  int ended_by = 0;                        // record::end_by_...; 0: unknown
  over_details details{};
};

// A stream the server's heartbeat no longer counted as open, though its end
// record never came, is shown as one the server timed out.
inline constexpr int ended_by_timeout = record::end_by_timeout;

// What the conference rules told that is no conference talk: a talker
// refused while another held the conference, or an echo test played back.
struct conference_note {
  millis at = 0;
  bool echo = false;
  call_value my_call, call1;
  call_value talker;                       // refused: the one who held the conference
  std::int64_t duration_ms = no_duration;  // echo: the recording's length
};

// Last heard as operators read it: one row per speaker, newest first.
struct heard_call {
  call_value my_call, call1, call2;  // call1/call2 of the node of the last over
  millis at = 0;                     // the last over's header
  std::uint32_t overs_today = 0;     // headers on the UTC day of `at`
  std::int64_t duration_ms = no_duration;
  int ended_by = 0;  // as heard_entry's
  // Headers per quarter hour (ms / quarter_ms) in the day before `at`, so
  // that a page counts the overs of its viewer's day.
  std::map<std::int64_t, std::uint32_t> quarters;
  over_details details{};  // of the last over
};

// A stream in progress: its header came, its end record not yet.
struct talk {
  call_value my_call, call1, call2;
  millis since = 0;
};

// What the server's start, heartbeat and stop records told; all zero until
// the first of them.
struct server_status {
  millis up_since = 0, last_beat = 0, stopped_at = 0;
  std::uint32_t table_size = 0, streams_open = 0, heartbeat_s = 0, silence_ms = 0;
};

// A kind of unwanted datagram as a warning needs it: how many since the
// burst began, and when and from where the last came.
struct junk_note {
  std::uint64_t count = 0;
  millis first = 0, last = 0;
  std::uint32_t from = 0;
};

struct feed_counters {
  std::array<std::uint64_t, record::kind_count> records{};  // by record::kinds
  std::uint64_t rejected = 0;                               // from a source not allowed by --from
  std::uint64_t malformed = 0;                              // not 32 bytes, or an unknown tag
  std::uint64_t rows_dropped = 0;                           // node rows dropped for node_limit
  junk_note recent_rejected, recent_malformed;

  std::uint64_t of(const char* tag) const {
    for (const record::kind& k : record::kinds)
      if (std::memcmp(k.tag, tag, 4) == 0) return records[record::index_of(k)];
    return 0;
  }
};

struct state {
  std::map<call_value, node_row> nodes;              // keyed by call1, as the server keys its table
  std::set<std::pair<millis, call_value>> node_age;  // (since, call1) of every row
  std::deque<heard_entry> heard;                     // newest first, at most heard_limit
  std::deque<heard_call> calls;                      // newest first, at most heard_limit
  std::vector<talk> talking;                         // oldest first, at most talking_limit
  std::deque<conference_note> notes;                 // newest first, at most heard_limit
  server_status server;
  bool streams = false;                         // the server sends stream and liveness records
  std::map<std::int64_t, std::uint64_t> hours;  // hour number (ms / hour_ms) -> headers
  feed_counters count;
  millis watching_since = 0;
  millis last_record = 0;  // 0: none yet
  std::uint64_t nods = 0;  // NOD records applied: how far the server's re-announcement went
};

// What one datagram did, so that the live page can be told just that.
enum class change {
  rejected,
  malformed,
  added,
  moved,
  removed,
  unknown_removed,
  confirmed,  // a re-announced node, already shown as it is
  heard,
  ended,     // a stream's end
  noted,     // a refused talker or an echo test: notes.front()
  detailed,  // an over's suffix, your_call or text message came: outcome::over
  started,   // the server (re)started: the old run's rows are gone
  beat,      // a heartbeat or the server's stop
};

struct outcome {
  outcome(change w = change::malformed, call_value c = {}) : what(w), call1(std::move(c)) {}

  change what;
  call_value call1;                    // the node concerned, for added, moved, removed and heard
  std::vector<talk> talks_gone;        // streams no longer in progress because of it
  std::vector<call_value> nodes_gone;  // rows a heartbeat showed no longer in the server's table
  heard_entry over;                    // for ended: the over whose duration it set, if any
};

// Addresses allowed to send records; empty allows every address.
struct source_policy {
  std::vector<std::uint32_t> from;
};

// Applies one received datagram of `length` bytes from `source` at `now`.
// A record is exactly 32 bytes with a known tag; anything else is only
// counted. An ADD for a call sign already shown is the node reappearing (a
// lost DEL, a restarted server): its row is replaced, so one call sign never
// has two rows. A DEL removes the row of its call1. A start record clears
// the rows: the restarted server's table starts empty. A NOD (a node the
// server re-announces) adds the row its ADD would have, when none is shown.
outcome apply_datagram(state& s, const source_policy& policy, std::uint32_t source,
                       const std::uint8_t* data, std::size_t length, millis now);

// Drops hourly counts older than the last hours_kept hours.
void prune_hours(state& s, millis now);

// Puts a node row in, dropping the row registered longest ago when the
// table would pass node_limit; the one way rows enter, so node_age stays
// the index of nodes.
void put_row(state& s, node_row row);

// The call sign as a radio operator writes it: without trailing spaces.
call_value trimmed(const call_value& c);

}  // namespace mirx::dashboard
