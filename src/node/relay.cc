#include "node/relay.h"

#include <cstring>

#include "node/ack.h"
#include "node/send_retry.h"

namespace mirx {
namespace {

// What is written for one delivery, at the moment it is made.
using delivery_line = void (*)(output& out, const callsign& call1);

// "Send DV Packet to %.8s\n", written once per delivery of every voice
// packet (unless LogVoice is off): assembled by hand rather than through a
// format.
void log_voice_delivery(output& out, const callsign& call1) {
  if (!out.log_voice) return;
  static constexpr char lead[] = "Send DV Packet to ";
  constexpr std::size_t lead_length = sizeof lead - 1;
  char line[lead_length + call_size + 1];
  std::memcpy(line, lead, lead_length);
  std::size_t n = lead_length;
  for (std::size_t i = 0; i < call_size && call1[i] != 0; ++i)
    line[n++] = shown_char(static_cast<std::uint8_t>(call1[i]));
  line[n++] = '\n';
  out.write_log_text(line, n);
}

void show_voice_delivery(output& out, const callsign& call1) {
  out.say(shown::event, "%.24s Send DV Packet to %.8s\n", time_stamp().text, printable(call1).text);
  log_voice_delivery(out, call1);
}

void show_header_delivery(output& out, const callsign& call1) {
  out.say(shown::event, "%.24s Send Header Packet to %.8s\n", time_stamp().text,
          printable(call1).text);
}

// The fan-out of one datagram. Each delivery's line (if any) reads exactly as
// if it had been written just before its own send, and a failed send gets
// its line, then its failure line and retries, before anything later is
// sent. When the console shows a stamped line per node the sends go one at a
// time, each after its line, so that the console keeps pace with the wire;
// otherwise they go out in batches and each line is written once its send is
// known to have gone.
class fan_out {
 public:
  fan_out(conference& c, const std::uint8_t* packet, std::size_t length, const retry_rule& rule,
          delivery_line line)
      : c_(c),
        packet_(packet),
        length_(length),
        rule_(rule),
        line_(line),
        most_(c.out.shows(shown::event) && line != nullptr ? 1 : node_link::max_batch) {}

  void add(const node_entry& e) {
    ++added_;
    if (most_ == 1) return one(e);
    to_[count_] = &e;
    ips_[count_] = e.ip;
    if (++count_ == most_) flush();
  }

  void flush() {
    for (std::size_t done = 0; done < count_;) {
      int error = 0;
      const std::size_t sent =
          c_.net.send_to_nodes(packet_, length_, ips_ + done, count_ - done, &error);
      for (std::size_t i = done; i < done + sent; ++i) written(*to_[i]);
      done += sent;
      if (done == count_) break;
      written(*to_[done]);
      if (error == 0) error = c_.net.send_to_node(packet_, length_, ips_[done]);
      if (error != 0) handle_send_failure(c_, packet_, length_, ips_[done], rule_, error);
      ++done;
    }
    count_ = 0;
  }

  // Whether any node was handed the datagram, whatever the outcome.
  bool delivered() const { return added_ != 0; }

 private:
  void one(const node_entry& e) {
    line_(c_.out, e.call1);
    const int error = c_.net.relay_to_node(packet_, length_, e.ip);
    if (error != 0) handle_send_failure(c_, packet_, length_, e.ip, rule_, error);
  }

  void written(const node_entry& e) {
    if (line_ != nullptr) line_(c_.out, e.call1);
  }

  conference& c_;
  const std::uint8_t* packet_;
  std::size_t length_;
  const retry_rule& rule_;
  delivery_line line_;
  std::size_t most_;  // sends per batch
  const node_entry* to_[node_link::max_batch];
  std::uint32_t ips_[node_link::max_batch];
  std::size_t count_ = 0;
  std::size_t added_ = 0;
};

// Hands the datagram to every receiver in table order. Returns the last
// entry at the sender's address, which names the speaker's node, or null.
const node_entry* relay_to_receivers(conference& c, std::uint32_t sender_ip, fan_out& f) {
  const node_entry* own = nullptr;
  for (const node_entry& e : c.table.entries()) {
    if (receives(c, e, sender_ip)) f.add(e);
    if (e.ip == sender_ip) own = &e;
  }
  f.flush();
  return own;
}

// Hands the stream to every other door; true when any of them had a peer
// that was sent it.
bool header_to_doors(conference& c, const std::uint8_t* packet, const stream_origin& from) {
  bool heard = false;
  for (conference_door* d : c.doors) heard = d->header(packet, from) || heard;
  return heard;
}

void voice_to_doors(conference& c, const std::uint8_t* packet, const stream_origin& from) {
  for (conference_door* d : c.doors) d->voice(packet, from);
}

// What is relayed and recorded for every header, whoever sent it: the
// announcing line, the fan-out to the nodes `to_node` lets through and the
// ACC record, call1 and call2 left for the caller.
record::bytes header_to_nodes(conference& c, const std::uint8_t* packet, fan_out& f,
                              std::uint32_t sender_ip, bool from_node, const node_entry** own) {
  c.last_my_call = callsign_of(packet + hdr::my_call);
  if (c.out.shows(shown::event))
    c.out.say(shown::event, "%.24s Send Header Packet from %.8s\n", time_stamp().text,
              printable(c.last_my_call).text);
  *own = nullptr;
  for (const node_entry& e : c.table.entries()) {
    if (!from_node || receives(c, e, sender_ip)) f.add(e);
    if (from_node && e.ip == sender_ip) *own = &e;
  }
  f.flush();
  record::bytes acc = record::make(record::tag_acc);
  put_callsign(acc.data() + record::my_call, c.last_my_call);
  return acc;
}

}  // namespace

bool receives(const conference& c, const node_entry& e, std::uint32_t sender_ip) {
  return e.ip != sender_ip || c.out.debug;
}

record::bytes relay_header(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  fan_out f(c, packet, hdr::size, relay_header_rule,
            c.out.shows(shown::event) ? show_header_delivery : nullptr);
  const node_entry* own = nullptr;
  record::bytes acc = header_to_nodes(c, packet, f, sender_ip, true, &own);
  if (own != nullptr) {
    put_callsign(acc.data() + record::call1, own->call1);
    put_callsign(acc.data() + record::call2, own->call2);
    c.last_node_call = own->call1;
  }
  c.net.send_to_log_server(acc.data(), acc.size());
  bool heard = f.delivered();
  if (!c.doors.empty()) heard = header_to_doors(c, packet, stream_origin{0, sender_ip, 0}) || heard;
  send_ack_transmission(c, sender_ip, heard);
  return acc;
}

void relay_voice(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  fan_out f(c, packet, voice::size, relay_voice_rule,
            c.out.shows(shown::event) ? show_voice_delivery : log_voice_delivery);
  relay_to_receivers(c, sender_ip, f);
  if (!c.doors.empty()) voice_to_doors(c, packet, stream_origin{0, sender_ip, 0});
}

record::bytes relay_door_header(conference& c, const stream_origin& from, const callsign& call1,
                                const callsign& call2, const std::uint8_t* packet) {
  fan_out f(c, packet, hdr::size, relay_header_rule,
            c.out.shows(shown::event) ? show_header_delivery : nullptr);
  const node_entry* own = nullptr;
  record::bytes acc = header_to_nodes(c, packet, f, 0, false, &own);
  put_callsign(acc.data() + record::call1, call1);
  put_callsign(acc.data() + record::call2, call2);
  c.last_node_call = call1;
  c.net.send_to_log_server(acc.data(), acc.size());
  header_to_doors(c, packet, from);
  return acc;
}

void relay_door_voice(conference& c, const stream_origin& from, const std::uint8_t* packet) {
  fan_out f(c, packet, voice::size, relay_voice_rule,
            c.out.shows(shown::event) ? show_voice_delivery : log_voice_delivery);
  for (const node_entry& e : c.table.entries()) f.add(e);
  f.flush();
  voice_to_doors(c, packet, from);
}

}  // namespace mirx
