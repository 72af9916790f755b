#pragma once

// The streams the door is carrying to its peers, whichever door each came
// in through: the DSVT stream id given to each, where its sequence stands,
// and who is talking, so that the door can keep a stream it already carries
// from coming in again by another way.

#include <cstdint>
#include <vector>

#include "dextra/dsvt.h"
#include "node/doors.h"

namespace mirx::dextra {

struct out_stream {
  stream_origin from;
  std::uint8_t id[2] = {};
  std::uint8_t next_sequence = 0;
  std::uint8_t my[call_size] = {};
  bool has_header = false;
  std::uint8_t header[dsvt::header_size] = {};  // node-framed, as it came
  std::int64_t last_ms = 0;
  bool ended = false;
};

class out_streams {
 public:
  explicit out_streams(std::uint32_t seed) : state_(seed | 1u) {}

  // The live stream from `from`, or null.
  out_stream* live(const stream_origin& from);
  // A new stream from `from` with a fresh stream id, ending any it had; its
  // header when it has one (node-framed, null when voice came first).
  out_stream& start(const stream_origin& from, const std::uint8_t* header, std::int64_t now);
  // The DSVT sequence of the next voice frame of `s`: 0 on the sync frame,
  // else one more than the last, counted 0..20.
  std::uint8_t sequence_of(out_stream& s, const std::uint8_t* voice);
  // Whether a stream of `my` from another origin than `from` is being
  // carried, or ended less than `window_ms` ago.
  bool carried(const std::uint8_t* my, const stream_origin& from, std::int64_t now,
               std::int64_t window_ms) const;
  // Forgets streams ended `window_ms` ago or more.
  void forget_ended(std::int64_t now, std::int64_t window_ms);
  std::vector<out_stream>& all() { return streams_; }

 private:
  void fresh_id(std::uint8_t* id);
  std::uint32_t state_;
  std::uint16_t last_id_ = 0;
  std::vector<out_stream> streams_;
};

}  // namespace mirx::dextra
