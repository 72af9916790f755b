#include "server/dextra.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "config/config_file.h"
#include "dextra/door.h"
#include "server/dextra_reports.h"
#include "server/door_streams.h"
#include "server/server.h"
#include "server/stop.h"

namespace mirx {
namespace {

// The door's number among the conference's doors (0 is the node protocol).
constexpr std::uint8_t dextra_door_id = 1;
// The most clients linked at once, counted apart from MaxNodes: a bound on
// the memory and the fan-out a flood of link requests can claim.
constexpr std::size_t most_clients = 1000;

class socket_wire final : public dextra::wire {
 public:
  platform::socket_handle socket = platform::no_socket;

  int send(const std::uint8_t* data, std::size_t length, const dextra::endpoint& to) override {
    return platform::send_to(socket, data, length, to.ip, to.port);
  }
  std::size_t send_each(const std::uint8_t* data, std::size_t length, const dextra::endpoint* to,
                        std::size_t count) override {
    std::uint32_t ips[max_batch];
    std::uint16_t ports[max_batch];
    for (std::size_t i = 0; i < count; ++i) {
      ips[i] = to[i].ip;
      ports[i] = to[i].port;
    }
    int error = 0;
    return platform::send_to_endpoints(socket, data, length, ips, ports, count, &error);
  }
};

class server_events final : public dextra::door_events {
 public:
  explicit server_events(server& s) : s_(s) {}
  dextra::door* door = nullptr;

  // The access rules of registrations, by call sign and address.
  bool admits(std::string_view call, std::uint32_t ip) override {
    const node_gate& g = s_.ctl.gate;
    if (!g.access_list) return true;
    return !g.closed && g.rules.admits(call, ip);
  }
  void changed(const dextra::peer& p, dextra::peer_change what) override {
    // Refusals come as fast as anybody sends link requests: limited as the
    // nodes' refusals are, and counted with them.
    const bool refusal = what == dextra::peer_change::refused || what == dextra::peer_change::full;
    if (refusal && !s_.ctl.gate.limit.admit(std::time(nullptr))) return;
    say_peer_change(s_.out, p, what, most_clients);
    const record::bytes r = peer_record(p, what);
    s_.link.send_to_log_server(r.data(), r.size());
  }
  void stream_header(const dextra::peer& p, const std::uint8_t* packet) override {
    door_header(s_, door->origin_of(p), callsign_of(p.call), connection_of(p), packet);
  }
  void stream_voice(const dextra::peer& p, const std::uint8_t* packet) override {
    door_voice(s_, door->origin_of(p), packet);
  }
  // The answer looked up for the door, outside the io lock, just before
  // the turn that asks for it.
  std::optional<std::uint32_t> resolve(const std::string& host) override {
    const auto it = addresses.find(host);
    return it == addresses.end() ? std::nullopt : it->second;
  }

  std::map<std::string, std::optional<std::uint32_t>> addresses;

 private:
  server& s_;
};

struct dextra_side {
  socket_wire wire;
  std::unique_ptr<server_events> events;
  std::unique_ptr<dextra::door> door;
};

// A name service may take seconds to answer: the hosts that links will ask
// for at `now` are looked up with the io lock let go, so that the relay
// never waits for one.
void look_up_hosts(dextra_side& d, std::int64_t now) {
  std::vector<std::string> hosts;
  {
    std::lock_guard<std::mutex> hold(io_lock());
    hosts = d.door->hosts_due(now);
  }
  for (const std::string& host : hosts) {
    const std::optional<std::uint32_t> ip = platform::resolve_ipv4(host.c_str());
    std::lock_guard<std::mutex> hold(io_lock());
    d.events->addresses[host] = ip;
  }
}

dextra_side& side() {
  static dextra_side d;
  return d;
}

// Whether the door's socket holds nothing: if so, every datagram that came
// before the look has been read, and the server's silence may reach it.
void look_drained(server& s, platform::socket_handle socket) {
  const std::int64_t looked = platform::monotonic_ms();
  if (platform::wait_readable(socket, 0) == platform::wait_result::timed_out)
    s.door_heard_ms = looked;
}

// The door's own receive loop, beside the nodes': it takes the io lock for
// each datagram and each turn of the clock, as the nodes' loop does, so the
// two never run at once.
[[noreturn]] void run_door(server& s, dextra_side& d) {
  const platform::socket_handle socket = d.wire.socket;
  dextra::door& door = *d.door;
  const node_gate& gate = s.ctl.gate;
  std::uint32_t rules_seen = gate.rules_version;
  std::int64_t last_report_ms = platform::monotonic_ms();
  std::uint8_t buffer[dextra::dsvt::header_size + 1];
  for (;;) {
    const std::int64_t waited_from = platform::monotonic_ms();
    const bool readable = platform::wait_readable(socket, 200) == platform::wait_result::readable;
    if (stop_under_way()) stay_stopped();
    const std::int64_t now = platform::monotonic_ms();
    if (s.cfg.dextra_links.count != 0) look_up_hosts(d, now);
    std::lock_guard<std::mutex> hold(io_lock());
    if (!readable) s.door_heard_ms = waited_from;
    door.tick(now);
    if (gate.rules_version != rules_seen) {
      rules_seen = gate.rules_version;
      door.recheck_clients();
    }
    // Without the controls' own second, the refusals held back are summed
    // up here.
    if (!s.ctl.timed && now - last_report_ms >= 1000) {
      last_report_ms = now;
      report_held(s.ctl.gate, s.out);
    }
    if (!readable) continue;
    const platform::received r = platform::receive(socket, buffer, sizeof buffer);
    look_drained(s, socket);
    if (r.length <= 0 || static_cast<std::size_t>(r.length) > dextra::dsvt::header_size) continue;
    // An address the access list denies gets nothing, not even a refusal.
    if (gate.access_list && gate.rules.denies_address(r.sender_ip)) continue;
    door.receive(buffer, static_cast<std::size_t>(r.length), {r.sender_ip, r.sender_port}, now);
  }
}

[[noreturn]] void refuse_start(server& s, const char* fmt, int port, int error) {
  char text[256];
  std::snprintf(text, sizeof text, fmt, port, platform::error_text(error).c_str());
  s.out.say(shown::always, "%s", text);
  std::fflush(s.out.console);
  platform::abnormal_termination();
}

}  // namespace

void start_dextra(server& s) {
  if (s.cfg.dextra_port == 0 && s.cfg.dextra_links.count == 0) return;
  std::lock_guard<std::mutex> hold(io_lock());
  dextra_side& d = side();
  d.wire.socket = platform::open_udp_socket();
  if (d.wire.socket == platform::no_socket)
    refuse_start(s, "did not create DExtra sock %d %s\n", 0, platform::last_socket_error());
  platform::set_receive_buffer(d.wire.socket, 1 << 20);
  platform::ignore_unreachable_reports(d.wire.socket);
  const int port = static_cast<int>(s.cfg.dextra_port);
  if (const int error = platform::bind_any(d.wire.socket, static_cast<std::uint16_t>(port)))
    refuse_start(s, "DExtra sock bind error %d : %s\n", port, error);
  d.events = std::make_unique<server_events>(s);
  dextra::door_config config{s.cfg.dextra_call, port != 0, dextra_door_id, most_clients};
  if (!s.live.on()) s.live.start();
  d.door =
      std::make_unique<dextra::door>(config, d.wire, *d.events, s.live, platform::monotonic_ms());
  d.events->door = d.door.get();
  for (int i = 0; i < s.cfg.dextra_links.count; ++i)
    if (auto target = dextra::parse_link_target(s.cfg.dextra_links.item[i]))
      d.door->add_link(*target);
  s.conf.doors.push_back(d.door.get());
  if (port != 0)
    s.out.stamped(shown::always, "DExtra door on port %d as %s\n", port, s.cfg.dextra_call);
  s.door_heard_ms = platform::monotonic_ms();
  std::thread(run_door, std::ref(s), std::ref(d)).detach();
}

}  // namespace mirx
