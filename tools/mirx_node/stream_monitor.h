#pragma once

// Follows the D-STAR streams that reach a node: a header opens a stream, its
// voice packets are counted and their slow data decoded, and the stream ends
// at its end marker, at the next header, or when it has gone quiet. What a
// stream carried is turned into the lines the tool prints.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nodelib/slow_stream.h"
#include "node/datagrams.h"

namespace mirx::node_tool {

using field = std::array<std::uint8_t, call_size>;

// The radio header fields of a 56-byte header packet.
struct header_view {
  std::uint8_t flags[3] = {0, 0, 0};
  field rpt2_call{}, rpt1_call{}, your_call{}, my_call{};
  std::array<std::uint8_t, 4> my_suffix{};
};
header_view read_header(const std::uint8_t* packet);

struct stream {
  std::optional<header_view> header;  // none: voice arrived without a header
  std::size_t voice_packets = 0;
  slow::stream_decoder slow;
};

enum class ack_verdict { delivered, not_delivered };

// An acknowledgement transmission names the speaker's node as originator and
// as both repeaters, and says in flag1 whether anybody received the header
// (0x00) or nobody did (0x01, relay unavailable). Nothing for other streams.
std::optional<ack_verdict> acknowledgement_of(const stream& s);

// A field or text as printed: in double quotes, a call sign up to its first
// zero byte, bytes outside printable ASCII as \xNN (\r and \n by name).
std::string quoted(const field& call);
std::string quoted(const std::string& text);

std::string describe_header(const header_view& h);
std::vector<std::string> describe_stream(const stream& s);
std::string describe_ack(ack_verdict v, const stream& s);

class stream_monitor {
 public:
  using clock = std::chrono::steady_clock;
  // A stream that has received nothing for this long has ended.
  static constexpr std::chrono::milliseconds quiet_limit{500};

  std::function<void(const header_view&)> on_header;
  std::function<void(const stream&)> on_end;

  // Takes one datagram; only 56-byte headers and 27-byte voice packets count.
  void take(const std::uint8_t* data, std::size_t length, clock::time_point now);
  // Ends the open stream when it has been quiet too long.
  void tick(clock::time_point now);
  // Ends the open stream, if any, now.
  void finish();

 private:
  void take_voice(const std::uint8_t* packet);
  std::optional<stream> open_;
  clock::time_point last_heard_{};
};

}  // namespace mirx::node_tool
