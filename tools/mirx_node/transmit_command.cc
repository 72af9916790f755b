#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <random>
#include <thread>

#include "mirx_node/commands.h"
#include "mirx_node/position_report.h"
#include "mirx_node/session.h"
#include "mirx_node/transmit.h"

namespace mirx::node_tool {

ack_watch::ack_watch(const field& my_call, const field& your_call) {
  monitor.on_header = [this, my_call, your_call](const header_view& h) {
    echo_running = h.my_call == your_call && h.your_call == my_call;
    if (echo_running) echo_start = echo_last = clock::now();
    if (!echo_running && h.your_call != my_call && h.my_call != my_call) talking = h.my_call;
  };
  monitor.on_end = [this, my_call](const stream& s) {
    if (echo_running) return end_echo(s);
    if (!s.header && s.voice_packets != 0 && !talking) talking = field{};
    const auto verdict = acknowledgement_of(s);
    if (answer || !verdict || s.header->your_call != my_call) return;
    answer = describe_ack(*verdict, s);
    delivered = *verdict == ack_verdict::delivered;
  };
}

void ack_watch::end_echo(const stream& s) {
  echo_running = false;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(echo_last - echo_start);
  char text[128];
  std::snprintf(text, sizeof text, "echo test: %zu voice packets played back over %.1f s",
                s.voice_packets, static_cast<double>(ms.count()) / 1000);
  echo = text;
}

void ack_watch::receive_until(const source& from, clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now());
    const auto d = from(left.count() > 0 ? static_cast<int>(left.count()) : 0);
    const auto now = clock::now();
    if (d) monitor.take(d->bytes.data(), d->bytes.size(), now);
    if (d && echo_running) echo_last = now;
    monitor.tick(now);
    if (now >= until && (!d || now >= until + frame_time)) return;
  }
}

namespace {

// The position bytes: raw as given, or a report made for this moment.
std::string position_bytes(const options& o) {
  if (o.gps) return gps_report(*o.gps, o.my_call, o.text, std::time(nullptr));
  if (o.aprs) return aprs_report(*o.aprs, *aprs_source(o.my_call));
  return o.position;
}

}  // namespace

plan::plan(const options& o) : position(position_bytes(o)), encoder(o.text, position) {}

// Without --frames: whole superframes, enough for all the slow data. A
// report is sent whole or not at all: it repeats as often as whole copies
// fit, and a transmission too short for one copy is refused before anything
// is sent.
void count_frames(const options& o, plan& p) {
  const std::size_t needed = p.encoder.frames_needed();
  const std::size_t n = slow::frames_per_superframe;
  p.frames = o.frames ? *o.frames : needed <= n ? n : (needed + n - 1) / n * n;
  if (!o.gps && !o.aprs) {
    if (p.frames < needed)
      std::fprintf(stderr,
                   "mirx_node: warning: %zu frames carry only part of the slow data (%zu needed)\n",
                   p.frames, needed);
    return;
  }
  const std::size_t copies = p.encoder.repeat_position(p.frames);
  if (copies == 0)
    throw tool_error("--frames " + std::to_string(p.frames) +
                         " is too short for the whole position report: it needs " +
                         std::to_string(needed) + " frames",
                     exit_usage);
  std::printf("position report, %zu %s: %s\n", copies, copies == 1 ? "copy" : "copies",
              quoted(p.position).c_str());
}

void send_voice(const options& o, const plan& p, std::uint16_t stream_id, clock::time_point start,
                ack_watch& watch, const source& from,
                const std::function<void(nodes::voice_frame&)>& send) {
  for (std::size_t i = 0; i < p.frames; ++i) {
    const auto due = start + frame_time * static_cast<long>(i + 1);
    watch.receive_until(from, o.flat_out ? clock::now() : due);
    // Gateways number frames by their place in the superframe, 0..20.
    auto sequence = static_cast<std::uint16_t>(i % slow::frames_per_superframe);
    if (i + 1 == p.frames) sequence |= voice::last_frame_flag;
    nodes::voice_frame v = nodes::make_voice(sequence, p.encoder.frame(i), stream_id);
    send(v);
  }
}

void wait_for_answer(const options& o, ack_watch& watch, const source& from) {
  const auto wait = std::chrono::milliseconds(o.timeout_ms);
  auto deadline = clock::now() + wait;
  while (!watch.answered() && clock::now() < deadline) {
    watch.receive_until(from, std::min(deadline, clock::now() + std::chrono::milliseconds(50)));
    if (watch.echo_running) deadline = std::max(deadline, watch.echo_last + wait);
  }
  watch.monitor.finish();  // an answer cut short still counts
}

namespace {

// Sends the stream and waits for the server's answer; a playback that is
// under way when the wait would end is waited for too.
int transmit(const session& s, const options& o, const plan& p) {
  field my_call, your_call;
  nodes::put_call(my_call.data(), o.my_call);
  nodes::put_call(your_call.data(), o.your_call);
  ack_watch watch(my_call, your_call);
  const source from = [&s](int timeout_ms) { return s.endpoint.receive(timeout_ms); };
  const auto stream_id = static_cast<std::uint16_t>(std::random_device{}());
  nodes::header_fields fields;
  fields.my_call = o.my_call;
  fields.your_call = o.your_call;
  const nodes::header header = nodes::make_header(fields, stream_id);
  const auto start = clock::now();
  s.send(header.data(), header.size());
  send_voice(o, p, stream_id, start, watch, from,
             [&s](const nodes::voice_frame& v) { s.send(v.data(), v.size()); });
  std::printf("sent header and %zu voice packets as %s to %s\n", p.frames, quoted(my_call).c_str(),
              s.server_text.c_str());
  wait_for_answer(o, watch, from);
  if (watch.echo) {
    std::printf("%s\n", watch.echo->c_str());
    return exit_ok;
  }
  if (!watch.answer)
    throw tool_error("no acknowledgement from " + s.server_text + " within " +
                     seconds_text(o.timeout_ms));
  std::printf("%s\n", watch.answer->c_str());
  if (!watch.delivered && watch.talking)
    std::printf("refused: %s was talking\n",
                *watch.talking == field{} ? "another station" : quoted(*watch.talking).c_str());
  return watch.delivered ? exit_ok : exit_not_delivered;
}

}  // namespace

// A registration made here is taken back whatever became of the
// transmission, so that no entry outlives the tool and keeps the server
// relaying to a port nobody reads.
int run_transmit(const options& o) {
  plan p(o);
  count_frames(o, p);
  const session s = open_session(o);
  if (o.call1.empty()) return transmit(s, o, p);
  std::printf("%s\n", register_node(s, o).c_str());
  if (o.stay_registered) return transmit(s, o, p);
  const auto disconnect = [&] {
    send_disconnect(s);
    std::printf("disconnected \"%s\" from %s\n", o.call1.c_str(), s.server_text.c_str());
  };
  int status = exit_failure;
  try {
    status = transmit(s, o, p);
  } catch (...) {
    disconnect();
    throw;
  }
  disconnect();
  return status;
}

}  // namespace mirx::node_tool
