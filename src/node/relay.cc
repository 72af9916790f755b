#include "node/relay.h"

#include <cstring>

#include "monitor/log_record.h"
#include "node/ack.h"
#include "node/send_retry.h"

namespace mirx {
namespace {

constexpr retry_rule header_rule{relay_failure_line, 50, false};
constexpr retry_rule voice_rule{relay_failure_line, 50, true};

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

// A fan-out whose console shows nothing per node: the sends go out in
// batches, and each node's log-file line is written once its send is known
// to have gone, so the file reads exactly as if each line had come just
// before its own send. A failed send gets its line, then its failure line
// and retries, before anything later in the batch is sent.
class voice_batch {
 public:
  voice_batch(conference& c, const std::uint8_t* packet) : c_(c), packet_(packet) {}

  void add(const node_entry& e) {
    to_[count_] = &e;
    ips_[count_] = e.ip;
    if (++count_ == node_link::max_batch) flush();
  }

  void flush() {
    for (std::size_t done = 0; done < count_;) {
      int error = 0;
      const std::size_t sent =
          c_.net.send_to_nodes(packet_, voice::size, ips_ + done, count_ - done, &error);
      for (std::size_t i = done; i < done + sent; ++i) log_voice_delivery(c_.out, to_[i]->call1);
      done += sent;
      if (done == count_) break;
      log_voice_delivery(c_.out, to_[done]->call1);
      if (error == 0) error = c_.net.send_to_node(packet_, voice::size, ips_[done]);
      if (error != 0) handle_send_failure(c_, packet_, voice::size, ips_[done], voice_rule, error);
      ++done;
    }
    count_ = 0;
  }

 private:
  conference& c_;
  const std::uint8_t* packet_;
  const node_entry* to_[node_link::max_batch];
  std::uint32_t ips_[node_link::max_batch];
  std::size_t count_ = 0;
};

// A fan-out whose console shows a stamped line per node: one send at a time,
// so that each console line still comes just before its own send.
void relay_voice_shown(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  for (const node_entry& e : c.table.entries()) {
    if (e.ip == sender_ip && !c.out.debug) continue;
    c.out.say(shown::event, "%.24s Send DV Packet to %.8s\n", time_stamp().text,
              printable(e.call1).text);
    log_voice_delivery(c.out, e.call1);
    send_with_retry(c, packet, voice::size, e.ip, voice_rule);
  }
}

}  // namespace

void relay_header(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  const bool shown_lines = c.out.shows(shown::event);
  c.last_my_call = callsign_of(packet + hdr::my_call);
  if (shown_lines)
    c.out.say(shown::event, "%.24s Send Header Packet from %.8s\n", time_stamp().text,
              printable(c.last_my_call).text);
  record::bytes acc = record::make(record::tag_acc);
  put_callsign(acc.data() + record::my_call, c.last_my_call);

  bool delivered = false;
  for (const node_entry& e : c.table.entries()) {
    const bool own = e.ip == sender_ip;
    if (!own || c.out.debug) {
      if (shown_lines)
        c.out.say(shown::event, "%.24s Send Header Packet to %.8s\n", time_stamp().text,
                  printable(e.call1).text);
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
  c.last_acc = acc;
  send_ack_transmission(c, sender_ip, delivered);
}

void relay_voice(conference& c, std::uint32_t sender_ip, const std::uint8_t* packet) {
  if (c.out.shows(shown::event)) return relay_voice_shown(c, sender_ip, packet);
  voice_batch batch(c, packet);
  for (const node_entry& e : c.table.entries())
    if (e.ip != sender_ip || c.out.debug) batch.add(e);
  batch.flush();
}

}  // namespace mirx
