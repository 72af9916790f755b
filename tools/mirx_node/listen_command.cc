#include <csignal>
#include <cstdio>

#include "mirx_node/commands.h"
#include "mirx_node/session.h"
#include "mirx_node/stream_monitor.h"
#include "nodelib/stop_signals.h"

namespace mirx::node_tool {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
  stop_requested = 1;
}

void print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void show(const nodes::datagram& d) {
  if (d.bytes.size() == reply::size && d.bytes[0] == 'S' && d.bytes[1] == 'A') return;
  if (d.bytes.size() == hdr::size || d.bytes.size() == voice::size) return;
  print("other datagram: " + std::to_string(d.bytes.size()) + " bytes from " +
        nodes::dotted(d.from_ip, d.from_port));
}

}  // namespace

int run_listen(const options& o) {
  nodes::catch_stop_signals(request_stop);
  const session s = open_session(o);
  print(register_node(s, o));

  stream_monitor monitor;
  monitor.on_header = [](const header_view& h) { print(describe_header(h)); };
  monitor.on_end = [](const stream& st) {
    for (const std::string& line : describe_stream(st)) print(line);
    if (const auto verdict = acknowledgement_of(st)) print(describe_ack(*verdict, st));
  };
  // The wait is short so that a quiet stream is ended and a stop request is
  // seen soon even if the signal slipped in just before the wait began.
  while (stop_requested == 0) {
    const auto d = s.endpoint.receive(100);
    const auto now = stream_monitor::clock::now();
    if (d) {
      show(*d);
      monitor.take(d->bytes.data(), d->bytes.size(), now);
    }
    monitor.tick(now);
  }
  monitor.finish();
  send_disconnect(s);
  print("disconnected \"" + o.call1 + "\" from " + s.server_text);
  return exit_ok;
}

}  // namespace mirx::node_tool
