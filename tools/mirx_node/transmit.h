#pragma once

// What transmit shares between the server's node framing and DExtra: the
// slow data and length of the stream, its pacing, and the watch on what comes
// back meanwhile and afterwards.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mirx_node/options.h"
#include "mirx_node/stream_monitor.h"
#include "nodelib/packets.h"
#include "nodelib/slow_stream.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::node_tool {

using clock = stream_monitor::clock;
inline constexpr std::chrono::milliseconds frame_time{20};  // the D-STAR voice frame rate

// Where received datagrams come from: waits at most `timeout_ms` for one;
// nothing when none came or what came is not for the stream monitor. The
// bytes handed on are in node framing.
using source = std::function<std::optional<nodes::datagram>(int timeout_ms)>;

// Watches everything that reaches the node for the answer to its own header:
// an acknowledgement addressed to the transmitted call sign, or, when the
// stream went to another call than CQCQCQ, an echo test's playback: a stream
// from that call to ours. Another speaker heard meanwhile explains an
// undelivered acknowledgement: the conference was held.
struct ack_watch {
  stream_monitor monitor;
  std::optional<std::string> answer;
  bool delivered = false;
  std::optional<field> talking;  // another speaker heard while we sent; empty: unnamed
  std::optional<std::string> echo;
  bool echo_running = false;
  clock::time_point echo_start{}, echo_last{};

  ack_watch(const field& my_call, const field& your_call);
  void end_echo(const stream& s);
  // Whether the wait is over: an answer came, or a playback has ended.
  bool answered() const { return answer || echo; }
  // Takes what arrives until `until`; what is already waiting is taken even
  // when `until` has passed, but a flood cannot hold the sender up for more
  // than a frame.
  void receive_until(const source& from, clock::time_point until);
};

// What goes out: the slow data and the number of voice frames.
struct plan {
  std::string position;
  slow::stream_encoder encoder;
  std::size_t frames = 0;

  explicit plan(const options& o);
};

// Sets p.frames; prints the position report's copies. Throws tool_error
// (exit_usage) when a report does not fit --frames.
void count_frames(const options& o, plan& p);

// Sends the voice frames of `p` through `send` (node framing, numbered by
// their place in the superframe, the last flagged), paced at the frame rate
// from `start` unless --flat-out, taking what arrives meanwhile.
void send_voice(const options& o, const plan& p, std::uint16_t stream_id, clock::time_point start,
                ack_watch& watch, const source& from,
                const std::function<void(nodes::voice_frame&)>& send);

// Waits --timeout for the answer, and for a playback under way when the wait
// would end.
void wait_for_answer(const options& o, ack_watch& watch, const source& from);

}  // namespace mirx::node_tool
