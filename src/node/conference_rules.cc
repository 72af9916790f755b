#include "node/conference_rules.h"

#include "node/ack.h"
#include "node/datagrams.h"
#include "node/stream_log.h"

namespace mirx {

void conference_rules::start(bool one_talker, std::uint32_t max_over_ms, stream_log* log,
                             live_streams* shared) {
  one_talker_ = one_talker;
  max_over_ms_ = max_over_ms;
  log_ = log;
  stray_ms_ = -1;
  if (shared == nullptr) {
    own_.start();
    shared = &own_;
  }
  table_ = shared;
  table_->add_reader(*this);
  overs_.clear();
  overs_.reserve(max_floor_streams);
}

const callsign* conference_rules::talker() const {
  if (!one_talker_) return nullptr;
  for (const over* o : overs_)
    if (o->floor == state::talking) return &o->my_call;
  return nullptr;
}

conference_rules::over* conference_rules::find(const stream_origin& from) {
  if (overs_.empty()) return nullptr;
  over* o = table_->find(from);
  return o != nullptr && o->floor != state::none ? o : nullptr;
}

void conference_rules::silent(live_stream& s) {
  if (s.floor == state::none) return;
  s.floor = state::none;
  std::erase(overs_, &s);
}

void conference_rules::erase(over* o) {
  o->floor = state::none;
  std::erase(overs_, o);
  table_->release(*o);
}

// The caller has made sure there is room among the streams followed: nothing
// followed is ever forgotten, since a forgotten refused or cut stream would
// be heard again. Null when the table of live streams is full.
conference_rules::over* conference_rules::add(const stream_origin& from, state s,
                                              const std::uint8_t* packet, std::int64_t now_ms) {
  over* o = table_->open(from, now_ms);
  if (o == nullptr) return nullptr;
  o->floor = s;
  o->over_start_ms = now_ms;
  o->last_ms = now_ms;
  o->my_call = callsign_of(packet + hdr::my_call);
  overs_.push_back(o);
  return o;
}

// A stream ends (end mark, or an echo test's header). A refused one is
// forgotten; a timed sender is remembered until it has been silent, so that
// keying up again at once does not restart its timer.
void conference_rules::end(over& o) {
  if (o.floor == state::refused || (o.floor == state::talking && max_over_ms_ == 0))
    erase(&o);
  else if (o.floor == state::talking)
    o.floor = state::ended;
}

floor_verdict conference_rules::header(conference& c, const stream_origin& from,
                                       const std::uint8_t* packet, std::int64_t now_ms) {
  over* o = find(from);
  if (o != nullptr && (o->floor == state::refused || now_ms - o->last_ms >= stream_silence_ms)) {
    erase(o);
    o = nullptr;
  }
  if (o == nullptr) return decide(c, from, packet, now_ms);
  // The sender has not been silent: its transmission goes on, and so does
  // its timer, whatever headers it repeats.
  o->last_ms = now_ms;
  if (o->floor == state::cut) return floor_verdict::drop;
  if (too_long(*o, now_ms)) {
    cut(c, *o, now_ms);
    return floor_verdict::drop;
  }
  if (o->floor == state::talking || talker() == nullptr) {
    o->floor = state::talking;
    o->my_call = callsign_of(packet + hdr::my_call);
    return floor_verdict::relay;
  }
  erase(o);  // its over ended and another holds the conference now
  return decide(c, from, packet, now_ms);
}

// A header that begins a new stream from `from`.
floor_verdict conference_rules::decide(conference& c, const stream_origin& from,
                                       const std::uint8_t* packet, std::int64_t now_ms) {
  const bool taken = talker() != nullptr;
  if (overs_.size() == max_floor_streams ||
      add(from, taken ? state::refused : state::talking, packet, now_ms) == nullptr) {
    refuse(c, from, packet);
    stray_ms_ = now_ms;
    return floor_verdict::refuse;
  }
  if (!taken) return floor_verdict::relay;
  refuse(c, from, packet);
  return floor_verdict::refuse;
}

floor_verdict conference_rules::voice(conference& c, const stream_origin& from,
                                      const std::uint8_t* packet, std::int64_t now_ms) {
  over* o = find(from);
  if (o != nullptr) {
    o->last_ms = now_ms;
    if ((o->floor == state::talking || o->floor == state::ended) && too_long(*o, now_ms))
      cut(c, *o, now_ms);
  }
  if (o == nullptr || o->floor == state::ended) return stray_voice(now_ms);
  const bool relayed = o->floor == state::talking;
  if (voice::ends_stream(packet)) end(*o);
  return relayed ? floor_verdict::relay : floor_verdict::drop;
}

// Voice that no followed stream owns: dropped while someone talks, and while
// a stream refused for want of room may still be transmitting.
floor_verdict conference_rules::stray_voice(std::int64_t now_ms) {
  if (stray_ms_ >= 0) {
    stray_ms_ = now_ms;
    return floor_verdict::drop;
  }
  return talker() != nullptr ? floor_verdict::drop : floor_verdict::relay;
}

void conference_rules::tick(conference& c, std::int64_t now_ms, std::int64_t heard_ms) {
  if (stray_ms_ >= 0 && heard_ms - stray_ms_ >= stream_silence_ms) stray_ms_ = -1;
  if (table_ == &own_) own_.end_silent(heard_ms);
  for (over* o : overs_)
    if (o->floor == state::talking && too_long(*o, now_ms)) cut(c, *o, now_ms);
}

// Nobody heard the header, which the undelivered acknowledgement says; it is
// addressed as a relayed header's would be. Refused for want of room while
// nobody talks, it has no talker to name and no REF record.
void conference_rules::refuse(conference& c, const stream_origin& from,
                              const std::uint8_t* packet) {
  const callsign* talking = talker();
  c.last_my_call = callsign_of(packet + hdr::my_call);
  const node_entry* own = nullptr;
  for (const node_entry& e : c.table.entries())
    if (from.from_node() && e.ip == from.ip) own = &e;
  if (own != nullptr) c.last_node_call = own->call1;
  if (talking == nullptr) {
    c.out.stamped(shown::event, "Refused Header Packet from %.8s: %u streams followed\n",
                  printable(c.last_my_call).text, static_cast<unsigned>(overs_.size()));
  } else {
    c.out.stamped(shown::event, "Refused Header Packet from %.8s while %.8s talks\n",
                  printable(c.last_my_call).text, printable(*talking).text);
  }
  if (log_ != nullptr && talking != nullptr) {
    record::bytes r = record::make(record::tag_ref);
    if (own != nullptr) put_callsign(r.data() + record::call1, own->call1);
    put_callsign(r.data() + record::talker, *talking);
    put_callsign(r.data() + record::my_call, c.last_my_call);
    c.net.send_to_log_server(r.data(), r.size());
  }
  // A peer of another door gets no node acknowledgement.
  if (from.from_node()) send_ack_transmission(c, from.ip, false);
}

// The sender stays followed, so that the rest of its voice and the headers
// it repeats are dropped until it falls silent, but it no longer holds the
// conference.
void conference_rules::cut(conference& c, over& o, std::int64_t now_ms) {
  o.floor = state::cut;
  c.out.stamped(shown::event, "Over from %.8s timed out after %lld s\n", printable(o.my_call).text,
                static_cast<long long>((now_ms - o.over_start_ms) / 1000));
  if (log_ != nullptr) log_->end_stream(o.from, record::end_by_timeout);
}

}  // namespace mirx
