#include "server/dispatch.h"

#include "node/callsign.h"
#include "node/datagrams.h"
#include "node/registration.h"
#include "node/relay.h"
#include "platform/ipv4.h"
#include "platform/platform.h"

namespace mirx {
namespace {

// Shown under debug for every 40-byte datagram, accepted or not.
void trace_request(output& out, const std::uint8_t* data, long length, std::uint32_t sender_ip) {
  const octets o = octets_of(sender_ip);
  out.say(shown::debug,
          "%.24s packet from %u.%u.%u,%u  length %ld req_id %c%c ver: V%.2x.%.2x Firmware: "
          "V%.2x.%.2x\n",
          time_stamp().text, o.a, o.b, o.c, o.d, length, shown_char(data[0]), shown_char(data[1]),
          data[2], data[3], data[4], data[5]);
}

// Whether the rules let a header be relayed. An echo test's header is kept
// and a refused one answered by the rules themselves.
bool header_passes(conference& c, const relay_rules& r, const std::uint8_t* data,
                   std::uint32_t sender_ip) {
  if (r.floor == nullptr && r.echo == nullptr) return true;
  const std::int64_t now = platform::monotonic_ms();
  if (r.echo != nullptr && r.echo->header(c, sender_ip, data, now)) {
    if (r.floor != nullptr) r.floor->forget(sender_ip);
    return false;
  }
  return r.floor == nullptr || r.floor->header(c, sender_ip, data, now) == floor_verdict::relay;
}

bool voice_passes(conference& c, const relay_rules& r, const std::uint8_t* data,
                  std::uint32_t sender_ip) {
  if (r.floor == nullptr && r.echo == nullptr) return true;
  const std::int64_t now = platform::monotonic_ms();
  if (r.echo != nullptr && r.echo->voice(sender_ip, data, now)) return false;
  return r.floor == nullptr || r.floor->voice(c, sender_ip, data, now) == floor_verdict::relay;
}

}  // namespace

dispatched dispatch(conference& c, dprs::state* dprs, const std::uint8_t* data, long length,
                    std::uint32_t sender_ip, const relay_rules& rules) {
  dispatched d{kind_of(length)};
  switch (d.kind) {
    case datagram_kind::disconnect:
      remove_node(c, sender_ip);
      break;
    case datagram_kind::voice:
      if (dprs != nullptr) dprs::process_slow_data(*dprs, c.out, data + voice::slow_data);
      d.relayed = voice_passes(c, rules, data, sender_ip);
      if (d.relayed) relay_voice(c, sender_ip, data);
      break;
    case datagram_kind::registration:
      if (c.out.debug) trace_request(c.out, data, length, sender_ip);
      if (!reg::accepted(data)) break;
      send_registration_reply(c, data, sender_ip);
      register_node(c, sender_ip, data);
      break;
    case datagram_kind::header:
      d.relayed = header_passes(c, rules, data, sender_ip);
      if (d.relayed) d.acc = relay_header(c, sender_ip, data);
      break;
    case datagram_kind::other:
      break;
  }
  return d;
}

}  // namespace mirx
