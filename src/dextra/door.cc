#include "dextra/door.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "node/datagrams.h"

namespace mirx::dextra {
namespace {

std::uint64_t key_of(const endpoint& at) {
  return (std::uint64_t{at.ip} << 16) | at.port;
}

// What a reflector sends a client it drops: ten spaces and a zero byte.
constexpr std::uint8_t drop_notice[ctl::request_size] = {' ', ' ', ' ', ' ', ' ', ' ',
                                                         ' ', ' ', ' ', ' ', 0};

// The closing frame sent for a stream whose own end was lost.
constexpr std::uint8_t end_voice[9] = {0x55, 0xC8, 0x7A, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t end_slow[3] = {0x25, 0x1A, 0xC6};

// The door number of the streams sent to one peer alone.
constexpr std::uint8_t echo_door = 0xff;

bool ends_stream(const std::uint8_t* node_voice) {
  return voice::ends_stream(node_voice);
}

}  // namespace

door::door(door_config config, wire& net, door_events& events, live_streams& streams,
           std::int64_t now)
    : config_(std::move(config)),
      net_(net),
      events_(events),
      now_(now),
      last_keepalive_ms_(now),
      streams_(streams),
      id_state_((static_cast<std::uint32_t>(now) * 2654435761u) | 1u) {
  streams_.add_reader(*this);
}

void door::add_link(const link_target& target) {
  link& l = links_.emplace_back();
  l.target = target;
  l.p.kind = peer_kind::link;
  put_call(l.p.call, target.call, target.module);
  l.p.own_module = target.module;
  l.p.module = target.module;
  put_call(l.p.rpt2, target.call, target.module);
  put_call(l.p.rpt1, config_.call, target.module);
  l.p.up = false;
  l.next_ms = now_;
}

peer* door::find_client(const endpoint& at) {
  const auto it = client_index_.find(key_of(at));
  return it == client_index_.end() ? nullptr : &clients_[it->second];
}

// A link's reflector stays a link's while it waits to ask again, so that a
// late answer from it is never taken for a client's link request.
door::link* door::find_link(const endpoint& at) {
  for (link& l : links_)
    if (l.p.at.port != 0 && l.p.at == at) return &l;
  return nullptr;
}

void door::receive(const std::uint8_t* data, std::size_t length, const endpoint& from,
                   std::int64_t now) {
  now_ = now;
  const kind k = kind_of(data, length);
  if (link* l = find_link(from)) return from_reflector(*l, k, data);
  peer* p = find_client(from);
  if (p != nullptr) p->last_heard_ms = now;
  switch (k) {
    case kind::link:
      return link_request(p, data, from);
    case kind::unlink:
      if (p == nullptr) return;
      net_.send(data, length, from);  // the answer: the request echoed
      return remove_client(client_index_[key_of(from)], peer_change::unlinked);
    case kind::header:
      if (p != nullptr) stream_in_header(*p, data);
      return;
    case kind::voice:
      if (p != nullptr) stream_in_voice(*p, data);
      return;
    default:
      return;  // keepalives count as heard; the rest is nobody's business
  }
}

void door::link_request(peer* known, const std::uint8_t* data, const endpoint& from) {
  if (!config_.takes_clients) return;
  std::uint8_t answer[ctl::answer_size];
  if (known != nullptr) {  // a repeated request: answered again, its module taken
    known->module = static_cast<char>(data[ctl::asked_module]);
    put_call(known->rpt2, config_.call, known->module);
    make_answer(answer, data, true);
    net_.send(answer, sizeof answer, from);
    return;
  }
  peer p;
  p.at = from;
  std::memcpy(p.call, data + ctl::call, call_size);
  p.own_module = static_cast<char>(data[ctl::module]);
  p.module = static_cast<char>(data[ctl::asked_module]);
  put_call(p.rpt2, config_.call, p.module);
  put_call(p.rpt1, config_.call, 'G');
  p.last_heard_ms = now_;
  const bool admitted = plausible_call(p.call) && events_.admits(p.call_sign(), from.ip);
  const bool room = clients_.size() < config_.most_clients;
  make_answer(answer, data, admitted && room);
  net_.send(answer, sizeof answer, from);
  if (!admitted || !room)
    return events_.changed(p, admitted ? peer_change::full : peer_change::refused);
  client_index_[key_of(from)] = clients_.size();
  clients_.push_back(p);
  events_.changed(clients_.back(), peer_change::linked);
  // A client that links while streams run hears them from here on; not
  // another peer's echo test, nor its own stream.
  const stream_origin own = origin_of(clients_.back());
  for (const std::uint16_t i : streams_.in_use()) {
    const live_stream& s = streams_.at(i);
    if (s.door.out && !s.door.out_ended && s.door.has_header && s.from.door != echo_door &&
        !(s.from == own))
      send_header_to(clients_.back(), s);
  }
}

void door::remove_client(std::size_t index, peer_change why) {
  const peer gone = clients_[index];
  client_index_.erase(key_of(gone.at));
  if (index + 1 != clients_.size()) {
    clients_[index] = clients_.back();
    client_index_[key_of(clients_[index].at)] = index;
  }
  clients_.pop_back();
  events_.changed(gone, why);
}

void door::from_reflector(link& l, kind k, const std::uint8_t* data) {
  l.p.last_heard_ms = now_;
  switch (k) {
    case kind::answer_ack:
    case kind::link:  // some reflectors answer with their own call sign
      if (l.step != link_step::asking) return;
      l.step = link_step::up;
      l.p.up = true;
      l.failures = 0;
      return events_.changed(l.p, peer_change::link_up);
    case kind::answer_nak:
      return link_failed(l, peer_change::link_refused);
    case kind::unlink:
    case kind::disconnected:
      if (l.step == link_step::up) link_failed(l, peer_change::link_lost);
      return;
    case kind::header:
      if (l.step == link_step::up) stream_in_header(l.p, data);
      return;
    case kind::voice:
      if (l.step == link_step::up) stream_in_voice(l.p, data);
      return;
    default:
      return;
  }
}

// Asks again after a pause that doubles with every failure in a row.
void door::link_failed(link& l, peer_change why) {
  l.step = link_step::waiting;
  l.p.up = false;
  if (live_stream* s = streams_.find(origin_of(l.p))) s->door.in_live = false;
  ++l.failures;
  const int doublings = std::min(l.failures - 1, 5);
  l.next_ms = now_ + std::min(first_backoff_ms << doublings, longest_backoff_ms);
  events_.changed(l.p, why);
}

live_stream* door::hold(const stream_origin& from) {
  live_stream* s = streams_.open(from, now_);
  if (s == nullptr) return nullptr;
  if (!s->door.held()) {
    if (held_ == most_streams) {
      streams_.release(*s);
      return nullptr;
    }
    ++held_;
  }
  // The door's clock is its last turn or datagram: never later than the
  // moment another reader stamped.
  s->last_ms = std::max(s->last_ms, now_);
  return s;
}

void door::silent(live_stream& s) {
  if (!s.door.held()) return;
  --held_;
  if (s.door.out && !s.door.out_ended) close_out(s);
  s.door = door_stream{};
}

void door::close_out(const live_stream& s) {
  std::uint8_t framed[dsvt::voice_size] = {};
  std::memcpy(framed + dsvt::voice_bytes, end_voice, sizeof end_voice);
  std::memcpy(framed + dsvt::slow_data, end_slow, sizeof end_slow);
  frame_as_dsvt_voice(framed, s.door.out_id, s.door.sequence | dsvt::last_frame);
  if (s.from.door == echo_door) {
    if (const peer* p = find_peer({s.from.ip, s.from.port}))
      net_.send(framed, sizeof framed, p->at);
    return;
  }
  gather(s.from);
  send_gathered(framed, sizeof framed);
}

std::vector<std::string> door::hosts_due(std::int64_t now) const {
  std::vector<std::string> hosts;
  for (const link& l : links_)
    if (l.step == link_step::waiting && now >= l.next_ms) hosts.push_back(l.target.host);
  return hosts;
}

void door::recheck_clients() {
  for (std::size_t i = clients_.size(); i-- > 0;) {
    const peer& p = clients_[i];
    if (events_.admits(p.call_sign(), p.at.ip)) continue;
    net_.send(drop_notice, sizeof drop_notice, p.at);
    remove_client(i, peer_change::refused);
  }
}

bool door::carried(const callsign& my, const stream_origin& from) {
  for (const std::uint16_t i : streams_.in_use()) {
    const live_stream& s = streams_.at(i);
    if (s.door.out && s.door.has_header && !(s.from == from) && s.my_call == my) return true;
  }
  return false;
}

void door::stream_in_header(peer& p, const std::uint8_t* data) {
  live_stream* s = hold(origin_of(p));
  if (s == nullptr) return;
  door_stream& in = s->door;
  // Copies of the header: one stream.
  if (in.in && in.in_live && std::memcmp(in.in_id, data + dsvt::stream_id, 2) == 0) return;
  in.in = true;
  in.in_live = true;
  std::memcpy(in.in_id, data + dsvt::stream_id, 2);
  // A talker the conference carries already, from elsewhere: the same
  // stream come round a loop of links.
  in.taken = !carried(callsign_of(data + dsvt::my), origin_of(p));
  if (!in.taken) return;
  std::uint8_t packet[dsvt::header_size];
  std::memcpy(packet, data, sizeof packet);
  frame_as_node(packet, prefix::kind_header, 0);
  events_.stream_header(p, packet);
}

void door::stream_in_voice(peer& p, const std::uint8_t* data) {
  live_stream* s = streams_.find(origin_of(p));
  if (s == nullptr) return;
  door_stream& in = s->door;
  if (!in.in_live || std::memcmp(in.in_id, data + dsvt::stream_id, 2) != 0) return;
  s->last_ms = std::max(s->last_ms, now_);
  const std::uint8_t sequence = data[dsvt::sequence];
  if ((sequence & dsvt::last_frame) != 0) in.in_live = false;
  if (!in.taken) return;
  std::uint8_t packet[dsvt::voice_size];
  std::memcpy(packet, data, sizeof packet);
  // The DSVT sequence (0..20, the end flag on the last) stays the low byte:
  // the node framing's end mark is that same flag.
  frame_as_node(packet, prefix::kind_voice, sequence);
  events_.stream_voice(p, packet);
}

void door::send_header_to(const peer& p, const live_stream& s) {
  std::uint8_t packet[dsvt::header_size];
  std::memcpy(packet, s.door.header.data(), sizeof packet);
  std::memcpy(packet + dsvt::rpt2, p.rpt2, call_size);
  std::memcpy(packet + dsvt::rpt1, p.rpt1, call_size);
  // The suffix says nothing a receiver needs: one that strict reflectors
  // would refuse goes as spaces. The talker's call sign is never changed.
  if (!plausible_suffix(packet + dsvt::my_suffix)) std::memset(packet + dsvt::my_suffix, ' ', 4);
  frame_as_dsvt_header(packet, s.door.out_id);
  set_header_crc(packet);
  for (int i = 0; i < header_copies; ++i) net_.send(packet, sizeof packet, p.at);
}

const peer* door::find_peer(const endpoint& at) {
  if (const peer* p = find_client(at)) return p;
  for (const link& l : links_)
    if (l.p.up && l.p.at == at) return &l.p;
  return nullptr;
}

std::uint8_t door::next_sequence(door_stream& s, const std::uint8_t* packet) {
  std::uint8_t sequence = is_sync(packet) ? 0 : s.sequence;
  s.sequence = static_cast<std::uint8_t>((sequence + 1) % dsvt::frames_per_superframe);
  if (ends_stream(packet)) {
    sequence |= dsvt::last_frame;
    s.out_ended = true;
  }
  return sequence;
}

void door::start_out(live_stream& s, const std::uint8_t* header) {
  door_stream& d = s.door;
  d.out = true;
  d.out_ended = false;
  d.sequence = 0;
  fresh_id(d.out_id);
  d.has_header = header != nullptr;
  if (header == nullptr) return;
  std::memcpy(d.header.data(), header, hdr::size);
  s.my_call = callsign_of(header + hdr::my_call);
}

// A new stream id each time: never 0, and never the one before it.
void door::fresh_id(std::uint8_t* id) {
  std::uint16_t value = 0;
  while (value == 0 || value == last_id_) {
    id_state_ ^= id_state_ << 13;
    id_state_ ^= id_state_ >> 17;
    id_state_ ^= id_state_ << 5;
    value = static_cast<std::uint16_t>(id_state_ & 0xffff);
  }
  last_id_ = value;
  id[0] = static_cast<std::uint8_t>(value >> 8);
  id[1] = static_cast<std::uint8_t>(value & 0xff);
}

bool door::header(const std::uint8_t* packet, const stream_origin& from) {
  live_stream* s = hold(from);
  if (s == nullptr) return false;
  // A header repeated within an over is sent again under the over's id; a
  // different one begins a new stream, and the one it replaces is closed.
  const door_stream& d = s->door;
  const bool running = d.out && !d.out_ended;
  const bool same = running && d.has_header &&
                    std::memcmp(d.header.data() + prefix::size, packet + prefix::size,
                                hdr::size - prefix::size) == 0;
  if (running && !same) close_out(*s);
  if (!same) start_out(*s, packet);
  gather(from);
  for (const endpoint& at : to_)
    if (const peer* p = find_peer(at)) send_header_to(*p, *s);
  return !to_.empty();
}

void door::voice(const std::uint8_t* packet, const stream_origin& from) {
  live_stream* s = hold(from);
  if (s == nullptr) return;
  if (!s->door.out || s->door.out_ended) start_out(*s, nullptr);
  std::uint8_t framed[dsvt::voice_size];
  std::memcpy(framed, packet, sizeof framed);
  frame_as_dsvt_voice(framed, s->door.out_id, next_sequence(s->door, packet));
  gather(from);
  send_gathered(framed, sizeof framed);
}

// A stream for one peer is kept apart from the streams it sends: its origin
// is the peer's own, under a door number no peer has.
void door::send_to(const stream_origin& to, const std::uint8_t* packet, std::size_t length) {
  if (to.door != config_.door_id) return;
  const peer* p = find_peer({to.ip, to.port});
  if (p == nullptr) return;
  if (length != dsvt::header_size && length != dsvt::voice_size) return;
  live_stream* s = hold({echo_door, to.ip, to.port});
  if (s == nullptr) return;
  if (length == dsvt::header_size) {
    start_out(*s, packet);
    return send_header_to(*p, *s);
  }
  if (!s->door.out || s->door.out_ended) start_out(*s, nullptr);
  std::uint8_t framed[dsvt::voice_size];
  std::memcpy(framed, packet, sizeof framed);
  frame_as_dsvt_voice(framed, s->door.out_id, next_sequence(s->door, packet));
  net_.send(framed, sizeof framed, p->at);
}

void door::gather(const stream_origin& from) {
  to_.clear();
  const bool ours = from.door == config_.door_id;
  for (const peer& p : clients_)
    if (!ours || p.at.ip != from.ip || p.at.port != from.port) to_.push_back(p.at);
  for (const link& l : links_)
    if (l.p.up && (!ours || l.p.at.ip != from.ip || l.p.at.port != from.port))
      to_.push_back(l.p.at);
}

// A send that fails is not repeated: a voice frame late is a frame lost.
void door::send_gathered(const std::uint8_t* data, std::size_t length) {
  for (std::size_t done = 0; done < to_.size();) {
    const std::size_t count = std::min(to_.size() - done, wire::max_batch);
    const std::size_t sent = net_.send_each(data, length, to_.data() + done, count);
    done += sent < count ? sent + 1 : sent;
  }
}

void door::tick(std::int64_t now) {
  now_ = now;
  if (now - last_keepalive_ms_ >= keepalive_ms) {
    last_keepalive_ms_ = now;
    std::uint8_t alive[ctl::keepalive_size];
    make_keepalive(alive, config_.call);
    gather(stream_origin{});
    send_gathered(alive, sizeof alive);
  }
  for (std::size_t i = clients_.size(); i-- > 0;) {
    if (now - clients_[i].last_heard_ms < silent_ms) continue;
    net_.send(drop_notice, sizeof drop_notice, clients_[i].at);
    remove_client(i, peer_change::dropped);
  }
  for (link& l : links_) tick_link(l);
}

void door::stop() {
  for (link& l : links_) {
    if (l.step == link_step::waiting) continue;
    std::uint8_t request[ctl::request_size];
    make_unlink(request, config_.call, l.target.module);
    net_.send(request, sizeof request, l.p.at);
    l.step = link_step::waiting;
    l.p.up = false;
  }
}

void door::tick_link(link& l) {
  switch (l.step) {
    case link_step::up:
      if (now_ - l.p.last_heard_ms >= silent_ms) link_failed(l, peer_change::link_lost);
      return;
    case link_step::asking:
      // Unanswered: asked again after the pause.
      if (now_ >= l.next_ms) link_failed(l, peer_change::link_trying);
      return;
    case link_step::waiting: {
      if (now_ < l.next_ms) return;
      const std::optional<std::uint32_t> ip = events_.resolve(l.target.host);
      if (!ip) return link_failed(l, peer_change::link_unknown);
      l.p.at = {*ip, l.target.port};
      l.p.last_heard_ms = now_;
      l.step = link_step::asking;
      l.next_ms = now_ + keepalive_ms;
      std::uint8_t request[ctl::request_size];
      make_request(request, config_.call, l.target.module, l.target.module);
      net_.send(request, sizeof request, l.p.at);
      if (l.failures == 0) events_.changed(l.p, peer_change::link_trying);
      return;
    }
  }
}

}  // namespace mirx::dextra
