// The commands as a DExtra client: link, unlink, and listen and transmit
// with --dextra. The reflector is --server at --in-port; this client's port
// is --out-port, any free one by default, since a reflector answers at the
// port a datagram came from.

#include <cstdio>
#include <cstring>
#include <random>

#include "dextra/dsvt.h"
#include "mirx_node/commands.h"
#include "mirx_node/dextra_check.h"
#include "mirx_node/dextra_link.h"
#include "mirx_node/transmit.h"

namespace mirx::node_tool {
namespace {

// Copies sent of each header: UDP may lose one, and a listener that misses
// the header hears nothing of the stream.
constexpr int header_copies = 3;
// A reflector keeps alive every 3 s; a little more allows for the network.
constexpr std::chrono::milliseconds naming_wait{3500};

std::string unlinked(const options& o, const session& s) {
  return "unlinked \"" + o.call1 + "\" from " + s.server_text;
}

stream_id id_of(const nodes::datagram& d) {
  return {d.bytes[dextra::dsvt::stream_id], d.bytes[dextra::dsvt::stream_id + 1]};
}

// The stream in DSVT framing: RPT2 names the reflector and module, RPT1 this
// client, as a gateway writes them.
int send_stream(const session& s, const options& o, const plan& p, dextra_client& c) {
  field my_call, your_call;
  nodes::put_call(my_call.data(), o.my_call);
  nodes::put_call(your_call.data(), o.your_call);
  ack_watch watch(my_call, your_call);
  const source from = [&](int timeout_ms) -> std::optional<nodes::datagram> {
    c.tick(clock::now());
    auto d = s.endpoint.receive(timeout_ms);
    if (!d) return std::nullopt;
    auto a = c.take(*d, clock::now());
    if (!a || a->copy) return std::nullopt;
    return std::move(a->node);
  };
  for (const auto until = clock::now() + naming_wait; !c.rpt2() && clock::now() < until;)
    watch.receive_until(from, std::min(until, clock::now() + std::chrono::milliseconds(50)));
  const auto rpt2 = c.rpt2();
  if (!rpt2)
    throw tool_error("no keepalive from " + s.server_text + " within 3.5 s to name the " +
                     "reflector: give --reflector");

  std::uint16_t id = 0;
  for (std::random_device random; id == 0;) id = static_cast<std::uint16_t>(random());
  const std::uint8_t id_bytes[2] = {static_cast<std::uint8_t>(id >> 8),
                                    static_cast<std::uint8_t>(id & 0xff)};
  nodes::header_fields fields;
  fields.my_call = o.my_call;
  fields.your_call = o.your_call;
  nodes::header h = nodes::make_header(fields);
  std::memcpy(h.data() + dextra::dsvt::rpt2, rpt2->data(), rpt2->size());
  dextra::put_call(h.data() + dextra::dsvt::rpt1, o.call1, o.module);
  dextra::frame_as_dsvt_header(h.data(), id_bytes);
  dextra::set_header_crc(h.data());

  const auto start = clock::now();
  for (int i = 0; i < header_copies; ++i) s.send(h.data(), h.size());
  send_voice(o, p, id, start, watch, from, [&](nodes::voice_frame& v) {
    dextra::frame_as_dsvt_voice(v.data(), id_bytes, v[prefix::sequence + 1]);
    s.send(v.data(), v.size());
  });
  char id_text[8];
  std::snprintf(id_text, sizeof id_text, "0x%04x", id);
  print("sent header and " + std::to_string(p.frames) + " voice packets as " + quoted(my_call) +
        " to " + s.server_text + " (DExtra stream id " + id_text + ", rpt2 " + quoted(*rpt2) + ")");
  // No acknowledgement comes; an echo test's playback may.
  wait_for_answer(o, watch, from);
  if (watch.echo) print(*watch.echo);
  return exit_ok;
}

}  // namespace

int run_link(const options& o) {
  const session s = open_session(o);
  return dextra_client(s, o).link();
}

int run_unlink(const options& o) {
  const session s = open_session(o);
  dextra_client c(s, o);
  c.unlink();
  print("sent unlink of \"" + o.call1 + "\" from " + o.bind + ":" + std::to_string(o.out_port) +
        " to " + s.server_text);
  bool answered = false;
  c.report = [&answered](const std::string& line) {
    answered = true;
    print(line);
  };
  const auto deadline = clock::now() + std::chrono::milliseconds(o.timeout_ms);
  for (auto now = clock::now(); !answered && now < deadline; now = clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (const auto d = s.endpoint.receive(static_cast<int>(left.count()))) c.take(*d, now);
  }
  if (!answered) print("no answer within " + seconds_text(o.timeout_ms));
  return exit_ok;
}

int run_dextra_listen(const options& o) {
  watch_stop_signals();
  const session s = open_session(o);
  dextra_client c(s, o);
  if (const int status = c.link(); status != exit_ok) return status;

  stream_monitor monitor;
  dsvt_check check;
  monitor.on_header = [](const header_view& h) { print(describe_header(h)); };
  monitor.on_end = [&check](const stream& st) {
    for (const std::string& line : describe_stream(st)) print(line);
    if (const auto line = check.finish()) print("  " + *line);
  };
  // Short waits, as for a node: quiet streams end and stop requests are
  // seen soon.
  while (!stop_requested()) {
    const auto d = s.endpoint.receive(100);
    const auto now = clock::now();
    if (const auto a = d ? c.take(*d, now) : std::nullopt) {
      if (a->copy) {
        if (check.id() == id_of(*d)) check.take(d->bytes.data(), d->bytes.size());
      } else {
        // A new header ends the last stream before the check opens the next.
        if (a->header) monitor.finish();
        check.take(d->bytes.data(), d->bytes.size());
        monitor.take(a->node.bytes.data(), a->node.bytes.size(), now);
      }
    }
    monitor.tick(now);
    c.tick(now);
  }
  monitor.finish();
  c.unlink();
  const std::size_t heard = c.keepalives_heard();
  print(unlinked(o, s) + " (" + std::to_string(heard) +
        (heard == 1 ? " keepalive" : " keepalives") + " from the reflector)");
  return exit_ok;
}

int run_dextra_transmit(const options& o) {
  plan p(o);
  count_frames(o, p);
  const session s = open_session(o);
  dextra_client c(s, o);
  if (const int status = c.link(); status != exit_ok) return status;
  int status = exit_failure;
  try {
    status = send_stream(s, o, p, c);
  } catch (...) {
    c.unlink();
    print(unlinked(o, s));
    throw;
  }
  c.unlink();
  print(unlinked(o, s));
  return status;
}

}  // namespace mirx::node_tool
