#pragma once

// The conference's floor rules, both opt-in: with OneTalker one stream at a
// time holds the conference and headers and voice from every other address
// are held back; with MaxOverSeconds a stream relayed that long from its
// header is cut. The relay asks here, for each header and voice packet,
// whether it goes out at all; who receives it stays the relay's own rule.
//
// A stream is what the stream records call one: a header, then the voice from
// the same address until its end mark, 2 s of silence or a new header from
// there. Every moment is a monotonic time in milliseconds from the caller.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "node/callsign.h"
#include "node/conference.h"

namespace mirx {

class stream_log;

enum class floor_verdict {
  relay,   // relay as always
  refuse,  // a header while another stream holds the conference
  drop,    // voice of a refused or cut stream, or from anyone but the holder
};

// The most streams followed at once. With OneTalker at most one of them is
// relayed (the rest are refused ones, whose voice is dropped until they end);
// when all are in use the oldest refused one is forgotten. Without OneTalker
// a stream beyond this many is relayed but not timed.
inline constexpr std::size_t max_floor_streams = 64;

class conference_rules {
 public:
  // `max_over_ms` 0: no limit. `log`, when given, hears of timed-out streams
  // and REF records go to the log server.
  void start(bool one_talker, std::uint32_t max_over_ms, stream_log* log);
  bool on() const { return one_talker_ || max_over_ms_ != 0; }

  // Decides on a header from `ip`. A refused one is answered here with the
  // undelivered acknowledgement and reported; a relayed one is left to the
  // relay.
  floor_verdict header(conference& c, std::uint32_t ip, const std::uint8_t* packet,
                       std::int64_t now_ms);
  floor_verdict voice(conference& c, std::uint32_t ip, const std::uint8_t* packet,
                      std::int64_t now_ms);
  // A header from `ip` that the rules do not decide on (an echo test's) ends
  // its stream all the same.
  void forget(std::uint32_t ip) {
    if (over* o = find(ip)) erase(o);
  }
  // On every wake of the receive loop: ends silent streams, cuts long ones.
  void tick(conference& c, std::int64_t now_ms);

  // With OneTalker: the stream holding the conference, the one relayed
  // stream; null when the conference is free.
  const callsign* talker() const;

 private:
  struct over {
    std::uint32_t ip = 0;
    bool relayed = false;  // false: refused or cut, its voice dropped
    std::int64_t start_ms = 0;
    std::int64_t last_ms = 0;
    callsign my_call{};
  };

  over* find(std::uint32_t ip);
  over* add(std::uint32_t ip, bool relayed, const std::uint8_t* packet, std::int64_t now_ms);
  void erase(over* o);
  void refuse(conference& c, std::uint32_t ip, const std::uint8_t* packet);
  void cut(conference& c, over& o, std::int64_t now_ms);
  bool too_long(const over& o, std::int64_t now_ms) const {
    return max_over_ms_ != 0 && now_ms - o.start_ms >= max_over_ms_;
  }

  bool one_talker_ = false;
  std::int64_t max_over_ms_ = 0;
  stream_log* log_ = nullptr;
  std::vector<over> overs_;  // reserved at start, never grown beyond
};

}  // namespace mirx
