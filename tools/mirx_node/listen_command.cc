#include <cstdio>

#include "mirx_node/commands.h"
#include "mirx_node/session.h"
#include "mirx_node/stream_monitor.h"

namespace mirx::node_tool {
namespace {

void show(const nodes::datagram& d) {
  if (d.bytes.size() == reply::size && d.bytes[0] == 'S' && d.bytes[1] == 'A') return;
  if (d.bytes.size() == hdr::size || d.bytes.size() == voice::size) return;
  print("other datagram: " + std::to_string(d.bytes.size()) + " bytes from " +
        nodes::dotted(d.from_ip, d.from_port));
}

}  // namespace

int run_listen(const options& o) {
  watch_stop_signals();
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
  while (!stop_requested()) {
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
