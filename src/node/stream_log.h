#pragma once

// Who is talking: with LogStreams=ON the server follows the stream in
// progress from each sender address (begun by its header, fed by its voice)
// and tells the log server when one ends, besides when the server starts,
// every heartbeat period while it runs, and when it stops. Nothing here runs
// unless started: with LogStreams off the server keeps no stream state.
//
// Every moment is a monotonic time in milliseconds handed in by the caller,
// so that a test can drive the clock.

#include <cstdint>
#include <vector>

#include "monitor/log_record.h"
#include "node/doors.h"
#include "node/link.h"
#include "node/stream_text.h"

namespace mirx {

// A stream that has had no voice for this long has ended (its last packet was
// lost); it is found at most one housekeeping wake (about 200 ms) later.
inline constexpr std::uint32_t stream_silence_ms = 2000;
// The most streams followed at once. While that many are in progress, a
// header from yet another address is relayed as always but not followed, so
// that a flood of headers from many addresses cannot grow memory.
inline constexpr std::size_t max_streams = 1024;

class stream_log {
 public:
  bool on() const { return net_ != nullptr; }
  // Takes the table's memory and sends RUN. `bound_ms`: when the sockets were
  // bound, the zero of "seconds up".
  void start(node_link& net, std::uint32_t heartbeat_s, std::int64_t bound_ms, std::int64_t now_ms);

  // A header from `from` arrived: the stream in progress there, if any, ends as
  // superseded. Call before the header is relayed.
  void header_arrives(const stream_origin& from);
  // The header from `from` was relayed; `acc` is its ACC record, whose call
  // signs the END record repeats. Starts following the stream unless the
  // table is full. Given the `header` packet, sends its HDR record first.
  void header_relayed(const stream_origin& from, const record::bytes& acc, std::int64_t now_ms,
                      const std::uint8_t* header = nullptr);
  // A voice packet from `from` was relayed: one lookup; ends the stream when the
  // packet carries the end-of-transmission mark.
  void voice_relayed(const stream_origin& from, const std::uint8_t* packet, std::int64_t now_ms);

  // The stream from `from`, if followed, ends now as `how` (one of
  // record::end_by_).
  void end_stream(const stream_origin& from, std::uint8_t how);

  // Housekeeping, on every wake of the receive loop: ends silent streams and
  // sends HBT when the period is up; true when it did.
  bool tick(std::int64_t now_ms, std::size_t table_size);
  // Sends OFF; streams still in progress are counted in it, not ended.
  void stop(std::int64_t now_ms, std::size_t table_size);

  std::size_t in_progress() const { return open_; }

 private:
  struct slot {
    bool used = false;
    stream_origin from{};
    std::int64_t start_ms = 0;
    std::int64_t last_voice_ms = 0;                       // start_ms until voice arrives
    std::uint8_t who[record::size - record::call1] = {};  // call1, call2, my_call
    stream_text text;                                     // for its TXT record
  };

  slot* find(const stream_origin& from);
  void end(slot& s, std::uint8_t how);
  void erase(std::size_t at);
  void end_silent(std::int64_t now_ms);
  void send_status(const char (&tag_text)[5], std::int64_t now_ms, std::size_t table_size);

  node_link* net_ = nullptr;
  std::vector<slot> slots_;  // open addressing, linear probing, at most half full
  std::size_t open_ = 0;
  std::uint32_t heartbeat_ms_ = 0;
  std::int64_t bound_ms_ = 0;
  std::int64_t next_heartbeat_ms_ = 0;
  std::int64_t next_scan_ms_ = 0;
};

}  // namespace mirx
