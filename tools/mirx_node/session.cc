#include "mirx_node/session.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "nodelib/packets.h"
#include "nodelib/stop_signals.h"

namespace mirx::node_tool {
namespace {

volatile std::sig_atomic_t stop_signal = 0;

void note_stop(int) {
  stop_signal = 1;
}

std::uint32_t resolve(const std::string& host) {
  if (const auto ip = mirx::parse_ipv4(host)) return *ip;
  platform::start_sockets();
  std::string why;
  if (const auto ip = platform::resolve_ipv4(host.c_str(), &why)) return *ip;
  throw tool_error("cannot resolve server \"" + host + "\": " + why);
}

bool is_reply_to(const nodes::datagram& d, const nodes::registration& request) {
  return d.bytes.size() == reply::size && d.bytes[0] == 'S' && d.bytes[1] == 'A' &&
         std::memcmp(d.bytes.data() + reg::call1, request.data() + reg::call1, call_size) == 0;
}

}  // namespace

void session::send(const void* data, std::size_t length) const {
  if (!endpoint.send_to(data, length, server_ip, in_port))
    throw tool_error("cannot send to " + server_text + ": " + nodes::last_socket_error());
}

session open_session(const options& o) {
  const std::uint32_t ip = resolve(o.server);
  std::string why;
  auto endpoint = nodes::udp_endpoint::bind(o.bind, o.out_port, &why);
  if (!endpoint) throw tool_error(why);
  return session{std::move(*endpoint), ip, o.in_port, nodes::dotted(ip, o.in_port)};
}

std::string register_node(const session& s, const options& o) {
  const nodes::registration request = nodes::make_registration(o.call1, o.call2);
  s.send(request.data(), request.size());
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(o.timeout_ms);
  // Anything else that arrives meanwhile (traffic for another node at this
  // address) is not the answer and is passed over.
  for (auto now = clock::now(); now < deadline; now = clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const auto d = s.endpoint.receive(static_cast<int>(left.count()) + 1);
    if (!d || !is_reply_to(*d, request)) continue;
    char versions[32];
    std::snprintf(versions, sizeof versions, "V%.2x.%.2x V%.2x.%.2x", d->bytes[reg::ver],
                  d->bytes[reg::ver + 1], d->bytes[reg::firmware], d->bytes[reg::firmware + 1]);
    return "registered \"" + o.call1 + "\" (" + o.call2 + ") at " + s.server_text + ": reply SA " +
           versions + " from " + nodes::dotted(d->from_ip);
  }
  throw tool_error("no registration reply from " + s.server_text + " within " +
                   seconds_text(o.timeout_ms));
}

void send_disconnect(const session& s) {
  const std::uint8_t packet[disc::size] = {};
  s.send(packet, sizeof packet);
}

std::string seconds_text(int ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
  return text;
}

void print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void watch_stop_signals() {
  nodes::catch_stop_signals(note_stop);
}

bool stop_requested() {
  return stop_signal != 0;
}

}  // namespace mirx::node_tool
