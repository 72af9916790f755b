#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <thread>

#include "dprs/slow_data.h"
#include "mirx_node/commands.h"
#include "mirx_node/session.h"
#include "mirx_node/stream_monitor.h"
#include "nodelib/packets.h"

namespace mirx::node_tool {
namespace {

using clock = stream_monitor::clock;
constexpr std::chrono::milliseconds frame_time{20};  // the D-STAR voice frame rate
constexpr std::uint8_t last_frame_flag = 0x40;

// Watches everything that reaches the node for the answer to its own header:
// an acknowledgement addressed to the transmitted call sign.
struct ack_watch {
  stream_monitor monitor;
  std::optional<std::string> answer;
  bool delivered = false;

  explicit ack_watch(const field& my_call) {
    monitor.on_end = [this, my_call](const stream& s) {
      const auto verdict = acknowledgement_of(s);
      if (answer || !verdict || s.header->your_call != my_call) return;
      answer = describe_ack(*verdict, s);
      delivered = *verdict == ack_verdict::delivered;
    };
  }

  // Takes what arrives until `until`; what is already waiting is taken even
  // when `until` has passed, but a flood cannot hold the sender up for more
  // than a frame.
  void receive_until(const session& s, clock::time_point until) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now());
      const auto d = s.endpoint.receive(left.count() > 0 ? static_cast<int>(left.count()) : 0);
      const auto now = clock::now();
      if (d) monitor.take(d->bytes.data(), d->bytes.size(), now);
      monitor.tick(now);
      if (now >= until && (!d || now >= until + frame_time)) return;
    }
  }
};

// Without --frames: whole superframes, enough for all the slow data.
std::size_t frame_count(const options& o, const slow::stream_encoder& encoder) {
  const std::size_t needed = encoder.frames_needed();
  if (o.frames) {
    if (*o.frames < needed)
      std::fprintf(stderr,
                   "mirx_node: warning: %zu frames carry only part of the slow data (%zu needed)\n",
                   *o.frames, needed);
    return *o.frames;
  }
  const std::size_t n = slow::frames_per_superframe;
  return needed <= n ? n : (needed + n - 1) / n * n;
}

// Sends the header and the voice packets, paced at the frame rate unless
// --flat-out; returns the number of voice packets.
std::size_t send_stream(const session& s, const options& o, ack_watch& watch) {
  const slow::stream_encoder encoder(o.text, o.position);
  const std::size_t frames = frame_count(o, encoder);
  const auto stream_id = static_cast<std::uint16_t>(std::random_device{}());
  nodes::header_fields fields;
  fields.my_call = o.my_call;
  fields.your_call = o.your_call;
  const nodes::header header = nodes::make_header(fields, stream_id);
  const auto start = clock::now();
  s.send(header.data(), header.size());
  for (std::size_t i = 0; i < frames; ++i) {
    const auto due = start + frame_time * static_cast<long>(i + 1);
    watch.receive_until(s, o.flat_out ? clock::now() : due);
    // Gateways number frames by their place in the superframe, 0..20.
    auto sequence = static_cast<std::uint16_t>(i % slow::frames_per_superframe);
    if (i + 1 == frames) sequence |= last_frame_flag;
    const nodes::voice_frame v = nodes::make_voice(sequence, encoder.frame(i), stream_id);
    s.send(v.data(), v.size());
  }
  return frames;
}

}  // namespace

int run_transmit(const options& o) {
  const session s = open_session(o);
  if (!o.call1.empty()) std::printf("%s\n", register_node(s, o).c_str());
  field my_call;
  nodes::put_call(my_call.data(), o.my_call);
  ack_watch watch(my_call);
  const std::size_t frames = send_stream(s, o, watch);
  std::printf("sent header and %zu voice packets as %s to %s\n", frames, quoted(my_call).c_str(),
              s.server_text.c_str());
  const auto deadline = clock::now() + std::chrono::milliseconds(o.timeout_ms);
  while (!watch.answer && clock::now() < deadline)
    watch.receive_until(s, std::min(deadline, clock::now() + std::chrono::milliseconds(50)));
  watch.monitor.finish();  // an answer cut short still counts
  if (!watch.answer)
    throw tool_error("no acknowledgement from " + s.server_text + " within " +
                     seconds_text(o.timeout_ms));
  std::printf("%s\n", watch.answer->c_str());
  return watch.delivered ? exit_ok : exit_not_delivered;
}

}  // namespace mirx::node_tool
