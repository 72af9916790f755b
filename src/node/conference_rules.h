#pragma once

// The conference's floor rules, both opt-in: with OneTalker one stream at a
// time holds the conference and headers and voice from every other address
// are held back; with MaxOverSeconds a sender's continuous transmission
// relayed that long is cut. The relay asks here, for each header and voice
// packet, whether it goes out at all; who receives it stays the relay's own
// rule.
//
// A stream is what the stream records call one: a header, then the voice from
// the same origin (a node's address, or a door's peer by address and port)
// until its end mark, 2 s of silence or a new header from there. Every
// moment is a monotonic time in milliseconds from the caller.
//
// Every bound errs towards silence: a stream that cannot be followed is
// refused, and while such a stream may still be transmitting, voice that no
// followed stream owns is dropped.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "node/callsign.h"
#include "node/conference.h"
#include "node/live_streams.h"

namespace mirx {

class stream_log;

enum class floor_verdict {
  relay,   // relay as always
  refuse,  // a header while another stream holds the conference, or no room
  drop,    // voice of a refused or cut stream, or from anyone but the holder
};

// The most addresses followed at once: streams relayed, refused or cut, and
// senders whose over ended less than the silence time ago. None is ever
// forgotten to make room; a header that finds no room is refused.
inline constexpr std::size_t max_floor_streams = 64;

class conference_rules final : public stream_reader {
 public:
  // `max_over_ms` 0: no limit. `log`, when given, hears of timed-out streams
  // and REF records go to the log server. Streams are followed in `shared`,
  // whose owner ends the silent ones; without it the rules take a table of
  // their own and end them in tick.
  void start(bool one_talker, std::uint32_t max_over_ms, stream_log* log,
             live_streams* shared = nullptr);
  bool on() const { return one_talker_ || max_over_ms_ != 0; }

  // Decides on a header from `from`. A refused one is answered here with the
  // undelivered acknowledgement and reported; a relayed one is left to the
  // relay.
  floor_verdict header(conference& c, const stream_origin& from, const std::uint8_t* packet,
                       std::int64_t now_ms);
  floor_verdict voice(conference& c, const stream_origin& from, const std::uint8_t* packet,
                      std::int64_t now_ms);
  // A header from `from` that the rules do not decide on (an echo test's) ends
  // its stream all the same; the time-out timer still remembers the sender.
  void forget(const stream_origin& from) {
    if (over* o = find(from)) end(*o);
  }
  // On every wake of the receive loop: cuts long overs at `now_ms`, and ends
  // streams (in a table of their own) silent at `heard_ms`, the moment up to which every datagram
  // that arrived has been read (so a stall of the loop is never taken for silence).
  void tick(conference& c, std::int64_t now_ms, std::int64_t heard_ms);

  // With OneTalker: the stream holding the conference, the one relayed
  // stream; null when the conference is free.
  const callsign* talker() const;

  // The sender fell silent: its stream is forgotten.
  void silent(live_stream& s) override;

 private:
  using state = floor_state;
  using over = live_stream;

  over* find(const stream_origin& from);
  over* add(const stream_origin& from, state s, const std::uint8_t* packet, std::int64_t now_ms);
  void erase(over* o);
  void end(over& o);
  floor_verdict decide(conference& c, const stream_origin& from, const std::uint8_t* packet,
                       std::int64_t now_ms);
  floor_verdict stray_voice(std::int64_t now_ms);
  void refuse(conference& c, const stream_origin& from, const std::uint8_t* packet);
  void cut(conference& c, over& o, std::int64_t now_ms);
  bool too_long(const over& o, std::int64_t now_ms) const {
    return max_over_ms_ != 0 && now_ms - o.over_start_ms >= max_over_ms_;
  }

  bool one_talker_ = false;
  std::int64_t max_over_ms_ = 0;
  stream_log* log_ = nullptr;
  live_streams own_;  // when started without a shared table
  live_streams* table_ = nullptr;
  std::vector<over*> overs_;  // the entries followed; reserved at start, never grown beyond
  // Set when a header was refused for want of room, and kept while voice
  // that no followed stream owns keeps coming: that voice may be the
  // unfollowed stream's, so it is dropped. -1: no such stream.
  std::int64_t stray_ms_ = -1;
};

}  // namespace mirx
