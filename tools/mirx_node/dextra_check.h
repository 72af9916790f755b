#pragma once

// What a DExtra listener checks of each stream as it came in DSVT framing,
// beyond what the stream carried: that reflectors and clients will take it
// (header checksum, call-sign fields) and that its framing is sound (one
// stream id, sequence 0..20 in step with the slow-data sync, an end flag).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace mirx::node_tool {

using stream_id = std::array<std::uint8_t, 2>;

class dsvt_check {
 public:
  // Takes a 56-byte DSVT header or 27-byte DSVT voice datagram; the first one
  // taken after finish() opens the stream and sets its id.
  void take(const std::uint8_t* data, std::size_t length);
  bool open() const { return id_.has_value(); }
  std::optional<stream_id> id() const { return id_; }
  // The stream's check line, e.g. "DExtra stream 0x1a2b: 3 header copies,
  // checksum ok, call signs plausible, 21 voice frames, sequence in step,
  // end flag"; nothing when no stream is open. Starts afresh.
  std::optional<std::string> finish();

 private:
  void take_voice(const std::uint8_t* voice);
  std::optional<stream_id> id_;
  std::size_t headers_ = 0, bad_crc_ = 0, implausible_ = 0;
  std::size_t frames_ = 0, other_id_ = 0;
  std::string step_fault_;  // the first frame out of step
  bool end_flag_ = false;
};

}  // namespace mirx::node_tool
