#include "driver/phase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "nodelib/packets.h"

namespace mirx::bench {
namespace {

using clock = std::chrono::steady_clock;

std::int64_t realtime_ns() {
  timespec t;
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

const std::uint32_t server_ip = *mirx::parse_ipv4("127.0.0.1");

struct stream {
  int speaker;
  clock::time_point due;
  std::uint16_t sequence = 0;
  bool header_sent = false;
};

// Sends every packet that is due; returns the datagrams sent.
std::uint64_t send_due(const node_farm& farm, std::uint16_t in_port, stream& s,
                       clock::time_point now, clock::duration period) {
  std::uint64_t sent = 0;
  const auto& node = farm.node(s.speaker);
  for (int burst = 0; s.due <= now && burst < 1000; ++burst) {
    if (!s.header_sent) {
      nodes::header_fields h;
      h.my_call = "SPKR" + std::to_string(s.speaker);
      const auto header = nodes::make_header(h, static_cast<std::uint16_t>(s.speaker));
      node.send_to(header.data(), header.size(), server_ip, in_port);
      s.header_sent = true;
      ++sent;
    }
    // Frames are numbered by their place in the superframe, 0..20, as
    // gateways do, so that no frame carries the end-of-stream flag (0x40).
    const auto place = static_cast<std::uint16_t>(s.sequence++ % 21);
    auto v = nodes::make_voice(place, {0x16, 0x29, 0xf5}, static_cast<std::uint16_t>(s.speaker));
    const std::int64_t stamp = realtime_ns();
    std::memcpy(v.data() + sent_at, &stamp, sizeof stamp);
    node.send_to(v.data(), v.size(), server_ip, in_port);
    ++sent;
    s.due += period;
  }
  return sent;
}

// Waits until the relay's queue is empty and every owed delivery has arrived,
// or nothing has arrived for a while; at most 30 s.
bool settle(const node_farm& farm, const relay_process& relay, std::uint64_t expected) {
  const auto give_up = clock::now() + std::chrono::seconds(30);
  std::uint64_t last = farm.relayed_so_far();
  auto last_change = clock::now();
  while (clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::uint64_t now = farm.relayed_so_far();
    if (now >= expected && relay.in_socket().queued_bytes == 0) return true;
    if (now != last) {
      last = now;
      last_change = clock::now();
    } else if (clock::now() - last_change > std::chrono::milliseconds(500) &&
               relay.in_socket().queued_bytes == 0) {
      return false;
    }
  }
  return false;
}

}  // namespace

void phase_result::add(const phase_result& o) {
  seconds += o.seconds;
  expected += o.expected;
  got.relayed += o.got.relayed;
  got.other += o.got.other;
  got.latency.merge(o.got.latency);
  cpu_ns += o.cpu_ns;
  in_drops += o.in_drops;
  settled = settled && o.settled;
}

double phase_result::loss() const {
  if (expected == 0) return 0;
  return got.relayed >= expected ? 0.0 : 1.0 - static_cast<double>(got.relayed) / expected;
}

bool phase_result::lossless_and_prompt() const {
  return settled && loss() < 0.001 && got.latency.percentile(0.99) < 20000000;
}

bool register_nodes(const node_farm& farm, const relay_process& relay) {
  for (int i = 0; i < farm.size(); ++i) {
    char call[16];
    std::snprintf(call, sizeof call, "N%04d", i);
    const auto request = nodes::make_registration(call, "BENCH");
    // The first node also waits for the relay to start.
    const int tries = i == 0 ? 50 : 3;
    bool answered = false;
    for (int t = 0; t < tries && !answered; ++t) {
      farm.node(i).send_to(request.data(), request.size(), server_ip, relay.in_port());
      for (auto d = farm.node(i).receive(i == 0 ? 100 : 1000); d; d = farm.node(i).receive(10))
        if (d->bytes.size() == 16 && d->bytes[0] == 'S' && d->bytes[1] == 'A') answered = true;
    }
    if (!answered) return false;
  }
  return true;
}

phase_result run_phase(node_farm& farm, const relay_process& relay, const load& l) {
  const int speakers = std::clamp(l.streams, 1, farm.size());
  const auto period = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(speakers / std::max(l.total_pps, 1.0)));
  phase_result r;
  const std::uint64_t drops_before = relay.in_socket().drops;
  farm.start_draining();
  const std::int64_t cpu_before = relay.cpu_ns();
  const auto start = clock::now();
  const auto end =
      start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(l.seconds));
  std::vector<stream> streams;
  for (int k = 0; k < speakers; ++k) streams.push_back({k, start + period * k / speakers});
  std::uint64_t sent = 0;
  for (auto now = start; now < end; now = clock::now()) {
    auto next = end;
    for (stream& s : streams) {
      sent += send_due(farm, relay.in_port(), s, now, period);
      next = std::min(next, s.due);
    }
    std::this_thread::sleep_until(next);
  }
  r.seconds = std::chrono::duration<double>(clock::now() - start).count();
  r.expected = sent * static_cast<std::uint64_t>(farm.size() - 1);
  r.settled = settle(farm, relay, r.expected);
  r.cpu_ns = relay.cpu_ns() - cpu_before;
  r.got = farm.stop_draining();
  r.in_drops = relay.in_socket().drops - drops_before;
  return r;
}

}  // namespace mirx::bench
