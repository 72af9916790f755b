#include "node/conference_rules.h"

#include "node/ack.h"
#include "node/datagrams.h"
#include "node/stream_log.h"

namespace mirx {

void conference_rules::start(bool one_talker, std::uint32_t max_over_ms, stream_log* log) {
  one_talker_ = one_talker;
  max_over_ms_ = max_over_ms;
  log_ = log;
  overs_.reserve(max_floor_streams);
}

const callsign* conference_rules::talker() const {
  if (!one_talker_) return nullptr;
  for (const over& o : overs_)
    if (o.relayed) return &o.my_call;
  return nullptr;
}

conference_rules::over* conference_rules::find(std::uint32_t ip) {
  for (over& o : overs_)
    if (o.ip == ip) return &o;
  return nullptr;
}

void conference_rules::erase(over* o) {
  overs_.erase(overs_.begin() + (o - overs_.data()));
}

// Follows a new stream. When every place is taken, the oldest refused or cut
// stream gives way; when none is, the new stream is not followed.
conference_rules::over* conference_rules::add(std::uint32_t ip, bool relayed,
                                              const std::uint8_t* packet, std::int64_t now_ms) {
  if (overs_.size() == max_floor_streams) {
    over* oldest = nullptr;
    for (over& o : overs_)
      if (!o.relayed && (oldest == nullptr || o.start_ms < oldest->start_ms)) oldest = &o;
    if (oldest == nullptr) return nullptr;
    erase(oldest);
  }
  overs_.push_back({ip, relayed, now_ms, now_ms, callsign_of(packet + hdr::my_call)});
  return &overs_.back();
}

floor_verdict conference_rules::header(conference& c, std::uint32_t ip, const std::uint8_t* packet,
                                       std::int64_t now_ms) {
  // A new header from an address ends whatever stream it had.
  if (over* o = find(ip)) erase(o);
  if (talker() != nullptr) {
    refuse(c, ip, packet);
    add(ip, false, packet, now_ms);
    return floor_verdict::refuse;
  }
  add(ip, true, packet, now_ms);
  return floor_verdict::relay;
}

floor_verdict conference_rules::voice(conference& c, std::uint32_t ip, const std::uint8_t* packet,
                                      std::int64_t now_ms) {
  over* o = find(ip);
  if (o == nullptr) return talker() != nullptr ? floor_verdict::drop : floor_verdict::relay;
  if (o->relayed && too_long(*o, now_ms)) cut(c, *o, now_ms);
  o->last_ms = now_ms;
  const bool relayed = o->relayed;
  if (voice::ends_stream(packet)) erase(o);
  return relayed ? floor_verdict::relay : floor_verdict::drop;
}

void conference_rules::tick(conference& c, std::int64_t now_ms) {
  for (std::size_t i = 0; i < overs_.size();) {
    over& o = overs_[i];
    if (now_ms - o.last_ms >= stream_silence_ms) {
      erase(&o);
      continue;
    }
    if (o.relayed && too_long(o, now_ms)) cut(c, o, now_ms);
    ++i;
  }
}

// Nobody heard the header, which the undelivered acknowledgement says; it is
// addressed as a relayed header's would be.
void conference_rules::refuse(conference& c, std::uint32_t ip, const std::uint8_t* packet) {
  const callsign talking = *talker();
  c.last_my_call = callsign_of(packet + hdr::my_call);
  const node_entry* own = nullptr;
  for (const node_entry& e : c.table.entries())
    if (e.ip == ip) own = &e;
  if (own != nullptr) c.last_node_call = own->call1;
  c.out.stamped(shown::event, "Refused Header Packet from %.8s while %.8s talks\n",
                printable(c.last_my_call).text, printable(talking).text);
  if (log_ != nullptr) {
    record::bytes r = record::make(record::tag_ref);
    if (own != nullptr) put_callsign(r.data() + record::call1, own->call1);
    put_callsign(r.data() + record::talker, talking);
    put_callsign(r.data() + record::my_call, c.last_my_call);
    c.net.send_to_log_server(r.data(), r.size());
  }
  send_ack_transmission(c, ip, false);
}

// The stream stays followed, so that the rest of its voice is dropped until
// it ends, but it no longer holds the conference.
void conference_rules::cut(conference& c, over& o, std::int64_t now_ms) {
  o.relayed = false;
  c.out.stamped(shown::event, "Over from %.8s timed out after %lld s\n", printable(o.my_call).text,
                static_cast<long long>((now_ms - o.start_ms) / 1000));
  if (log_ != nullptr) log_->end_stream(o.ip, record::end_by_timeout);
}

}  // namespace mirx
