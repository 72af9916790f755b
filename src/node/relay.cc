#include "node/relay.h"

#include "monitor/log_record.h"
#include "node/ack.h"
#include "node/send_retry.h"

namespace mirx {
namespace {

constexpr retry_rule header_rule{"send error 2:%d %x\n", 50, false};
constexpr retry_rule voice_rule{"send error 2:%d %x\n", 50, true};

}  // namespace

void relay_header(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  c.last_my_call = callsign_of(packet + hdr::my_call);
  c.out.say(shown::event, "%.24s Send Header Packet from %.8s\n", time_stamp().text,
            c.last_my_call.data());
  record::bytes acc = record::make(record::tag_acc);
  put_callsign(acc.data() + record::my_call, c.last_my_call);

  bool delivered = false;
  for (const node_entry& e : c.table.entries()) {
    const bool own = e.ip == sender_ip;
    if (!own || c.out.debug) {
      c.out.say(shown::event, "%.24s Send Header Packet to %.8s\n", time_stamp().text,
                e.call1.data());
      send_with_retry(c, packet, hdr::size, e.ip, header_rule);
      delivered = true;  // handed to the socket layer, whatever the outcome
    }
    if (own) {  // the last entry at the sender's address names the speaker's node
      put_callsign(acc.data() + record::call1, e.call1);
      put_callsign(acc.data() + record::call2, e.call2);
      c.last_node_call = e.call1;
    }
  }
  c.net.send_to_log_server(acc.data(), acc.size());
  send_ack_transmission(c, sender_ip, delivered);
}

void relay_voice(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  const bool console = c.out.shows(shown::event);
  for (const node_entry& e : c.table.entries()) {
    if (e.ip == sender_ip && !c.out.debug) continue;
    if (console)
      c.out.say(shown::event, "%.24s Send DV Packet to %.8s\n", time_stamp().text, e.call1.data());
    c.out.write_log("Send DV Packet to %.8s\n", e.call1.data());
    send_with_retry(c, packet, voice::size, e.ip, voice_rule);
  }
}

}  // namespace mirx
