#pragma once

// The echo test (EchoCall=CALL): a stream whose header is addressed to CALL
// is relayed to nobody. Its voice is kept and, once the stream has ended, is
// played back to its sender alone at the pace it came in: a header from CALL
// to the speaker, then the voice packets as received, the last carrying the
// end mark. The playback runs from the receive loop's housekeeping, one due
// packet at a time, so it never holds up the relay.
//
// Memory is fixed when the test is started: max_echo_tests recordings of at
// most max_echo_packets voice packets each, 8 x 3000 x 27 bytes = 648,000
// bytes, plus a header per recording.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "node/callsign.h"
#include "node/conference.h"
#include "node/datagrams.h"
#include "node/live_streams.h"

namespace mirx {

// Recordings (in progress or playing back) at once; a header to the echo call
// beyond this many is treated as any other header.
inline constexpr std::size_t max_echo_tests = 8;
// 60 s of voice at 20 ms a packet; what comes later is dropped.
inline constexpr std::size_t max_echo_packets = 3000;
inline constexpr std::int64_t echo_frame_ms = 20;
// A recording ends this long after its header, whatever arrives meanwhile.
inline constexpr std::int64_t max_echo_ms = max_echo_packets * echo_frame_ms;
// Senders still transmitting after their recording ended at the bound, whose
// voice is dropped until they fall silent. While this many are, a recording
// that reaches the bound keeps its place (and drops its voice) instead.
inline constexpr std::size_t max_echo_tails = 64;

class echo_test final : public stream_reader {
 public:
  // `call` as configured: at most 8 characters, padded with spaces to 8.
  // `records`: ECH records go to the log server. Recordings and tails are
  // followed in `shared`, whose owner ends the silent ones; without it the
  // test takes a table of its own and ends them in tick.
  void start(const char* call, bool records, live_streams* shared = nullptr);
  bool on() const { return !slots_.empty(); }

  // A header from `ip`: a recording in progress there ends (its playback
  // begins). Returns true when the header starts a new recording: it is
  // addressed to the echo call and a recording is free. The header is then
  // neither relayed nor acknowledged.
  // The speaker's node names for the ECH record are taken from `c` now.
  // A peer of another door is named by `door_names` (call1, call2) instead,
  // and played back to through its door.
  bool header(const conference& c, const stream_origin& from, const std::uint8_t* packet,
              std::int64_t now_ms, const callsign* door_names = nullptr);
  // Returns true when the voice packet belongs to a recording in progress
  // (kept, or dropped beyond its limit) or to a sender whose recording ended
  // at the bound: it is then not relayed.
  bool voice(const stream_origin& from, const std::uint8_t* packet, std::int64_t now_ms);
  // On every wake of the receive loop: ends recordings at their bound (and,
  // in a table of its own, those silent at `heard_ms`, up to which every
  // datagram that arrived has been read), and sends the playback packets
  // that are due.
  void tick(conference& c, std::int64_t now_ms, std::int64_t heard_ms);
  // When tick next has work, so that the loop wakes for it; -1: none.
  std::int64_t next_due_ms() const;

  // The sender fell silent: its recording ends, or its tail.
  void silent(live_stream& s) override;

 private:
  enum class phase { free, recording, playing };
  struct slot {
    phase now = phase::free;
    stream_origin from{};
    std::array<std::uint8_t, hdr::size> header{};
    std::size_t packets = 0;   // kept
    std::size_t sent = 0;      // played back, the header not counted
    bool header_sent = false;  // and the ECH record, the line
    std::int64_t start_ms = 0;
    std::int64_t last_ms = 0;
    std::int64_t play_ms = 0;  // when the playback header is due; -1: at the next tick
    std::uint8_t* voice = nullptr;
    callsign call1{};  // of the speaker's node when the header came
    callsign call2{};
  };

  // The entry of `from` when the test follows it, else null.
  live_stream* followed(const stream_origin& from);
  void let_go(live_stream& e);
  void finish_recording(slot& s, std::int64_t play_ms);
  void end_at_bound(slot& s, std::int64_t now_ms);
  void send_back(conference& c, const slot& s, const std::uint8_t* data, std::size_t length,
                 bool header);
  void begin_playback(conference& c, slot& s);
  void play(conference& c, slot& s, std::int64_t now_ms);

  callsign call_{};
  bool records_ = false;
  std::vector<slot> slots_;
  std::vector<std::uint8_t> store_;  // every slot's voice packets
  std::size_t tails_ = 0;
  live_streams own_;  // when started without a shared table
  live_streams* table_ = nullptr;
};

}  // namespace mirx
