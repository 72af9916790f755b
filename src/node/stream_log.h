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
#include "node/live_streams.h"
#include "node/stream_text.h"

namespace mirx {

// The most streams followed at once. While that many are in progress, a
// header from yet another address is relayed as always but not followed, so
// that a flood of headers from many addresses cannot grow memory.
inline constexpr std::size_t max_streams = 1024;

class stream_log final : public stream_reader {
 public:
  bool on() const { return net_ != nullptr; }
  // Sends RUN. `bound_ms`: when the sockets were bound, the zero of "seconds
  // up". Streams are followed in `shared`, whose owner ends the silent ones;
  // without it the log takes a table of its own and ends them in tick.
  void start(node_link& net, std::uint32_t heartbeat_s, std::int64_t bound_ms, std::int64_t now_ms,
             live_streams* shared = nullptr);

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

  // Housekeeping, on every wake of the receive loop: ends silent streams (in
  // a table of its own) and sends HBT when the period is up; true when it did.
  bool tick(std::int64_t now_ms, std::size_t table_size);
  // Sends OFF; streams still in progress are counted in it, not ended.
  void stop(std::int64_t now_ms, std::size_t table_size);

  std::size_t in_progress() const { return open_; }

  // The entry fell silent: its stream, if logged, ends by silence.
  void silent(live_stream& s) override;

 private:
  live_stream* logged(const stream_origin& from);
  void send_end(live_stream& s, std::uint8_t how);
  void end(live_stream& s, std::uint8_t how);
  void send_status(const char (&tag_text)[5], std::int64_t now_ms, std::size_t table_size);

  node_link* net_ = nullptr;
  live_streams own_;  // when started without a shared table
  live_streams* table_ = nullptr;
  std::size_t open_ = 0;  // streams logged
  std::uint32_t heartbeat_ms_ = 0;
  std::int64_t bound_ms_ = 0;
  std::int64_t next_heartbeat_ms_ = 0;
  std::int64_t next_scan_ms_ = 0;
};

}  // namespace mirx
