#include "node/echo_test.h"

#include <algorithm>
#include <cstring>

#include "node/send_retry.h"
#include "node/stream_log.h"

namespace mirx {

void echo_test::start(const char* call, bool records, live_streams* shared) {
  call_.fill(' ');
  std::memcpy(call_.data(), call, std::min(std::strlen(call), call_size));
  records_ = records;
  slots_.assign(max_echo_tests, slot{});
  store_.assign(max_echo_tests * max_echo_packets * voice::size, 0);
  for (std::size_t i = 0; i < max_echo_tests; ++i)
    slots_[i].voice = store_.data() + i * max_echo_packets * voice::size;
  tails_ = 0;
  if (shared == nullptr) {
    own_.start();
    shared = &own_;
  }
  table_ = shared;
  table_->add_reader(*this);
}

live_stream* echo_test::followed(const stream_origin& from) {
  live_stream* e = table_->find(from);
  return e != nullptr && e->echo != echo_state::none ? e : nullptr;
}

void echo_test::let_go(live_stream& e) {
  if (e.echo == echo_state::tail) --tails_;
  e.echo = echo_state::none;
  table_->release(e);
}

void echo_test::silent(live_stream& e) {
  if (e.echo == echo_state::recording) finish_recording(slots_[e.echo_slot], -1);
  if (e.echo == echo_state::tail) --tails_;
  e.echo = echo_state::none;
}

// The recording has lasted its 60 s: it is played back and its slot freed,
// while the sender's later voice is dropped as a tail until it falls silent.
// With no room for the tail the slot keeps recording (dropping) instead: a
// bound may cost an echo test its turn, never relay its voice.
void echo_test::end_at_bound(slot& s, std::int64_t now_ms) {
  if (tails_ == max_echo_tails) return;
  live_stream* e = followed(s.from);
  if (e == nullptr) return;
  e->echo = echo_state::tail;
  ++tails_;
  finish_recording(s, now_ms);
}

// The playback begins at `play_ms` (-1: the next tick, for an end found
// without the time); its last packet carries the end mark even when the
// sender's was lost.
void echo_test::finish_recording(slot& s, std::int64_t play_ms) {
  s.now = phase::playing;
  s.play_ms = play_ms;
  if (s.packets == 0) return;
  std::uint8_t* last = s.voice + (s.packets - 1) * voice::size;
  if (!voice::ends_stream(last)) last[prefix::sequence + 1] |= voice::last_frame_flag;
}

bool echo_test::header(const conference& c, const stream_origin& from, const std::uint8_t* packet,
                       std::int64_t now_ms, const callsign* door_names) {
  if (live_stream* e = followed(from)) {
    if (e->echo == echo_state::recording) finish_recording(slots_[e->echo_slot], now_ms);
    let_go(*e);
  }
  if (std::memcmp(packet + hdr::your_call, call_.data(), call_size) != 0) return false;
  const auto free = std::find_if(slots_.begin(), slots_.end(),
                                 [](const slot& s) { return s.now == phase::free; });
  if (free == slots_.end()) return false;
  live_stream* e = table_->open(from, now_ms);
  if (e == nullptr) return false;
  e->echo = echo_state::recording;
  e->echo_slot = static_cast<std::uint8_t>(free - slots_.begin());
  e->last_ms = std::max(e->last_ms, now_ms);
  std::uint8_t* voice = free->voice;
  *free = slot{phase::recording, from, {}, 0, 0, false, now_ms, now_ms, 0, voice, {}, {}};
  std::memcpy(free->header.data(), packet, hdr::size);
  // Named as the sender's node is now, as the END record names a stream's.
  if (door_names != nullptr) {
    free->call1 = door_names[0];
    free->call2 = door_names[1];
    return true;
  }
  for (const node_entry& n : c.table.entries())
    if (n.ip == from.ip) {
      free->call1 = n.call1;
      free->call2 = n.call2;
    }
  return true;
}

bool echo_test::voice(const stream_origin& from, const std::uint8_t* packet, std::int64_t now_ms) {
  live_stream* e = followed(from);
  if (e == nullptr) return false;
  e->last_ms = std::max(e->last_ms, now_ms);
  if (e->echo == echo_state::tail) return true;
  slot& s = slots_[e->echo_slot];
  s.last_ms = now_ms;
  if (now_ms - s.start_ms >= max_echo_ms) {
    end_at_bound(s, now_ms);
    return true;
  }
  if (s.packets < max_echo_packets)
    std::memcpy(s.voice + s.packets++ * voice::size, packet, voice::size);
  if (voice::ends_stream(packet)) {
    finish_recording(s, now_ms);
    let_go(*e);
  }
  return true;
}

void echo_test::tick(conference& c, std::int64_t now_ms, std::int64_t heard_ms) {
  if (table_ == &own_) own_.end_silent(heard_ms);
  for (slot& s : slots_) {
    if (s.now == phase::recording && now_ms - s.start_ms >= max_echo_ms) end_at_bound(s, now_ms);
    if (s.now != phase::playing) continue;
    if (s.play_ms < 0) s.play_ms = now_ms;
    play(c, s, now_ms);
  }
}

std::int64_t echo_test::next_due_ms() const {
  std::int64_t due = -1;
  for (const slot& s : slots_)
    if (s.now == phase::playing) {
      const std::int64_t at =
          s.play_ms < 0 ? 0
                        : s.play_ms + static_cast<std::int64_t>(s.sent + (s.header_sent ? 1 : 0)) *
                                          echo_frame_ms;
      if (due < 0 || at < due) due = at;
    }
  return due;
}

// The header from the echo call to the speaker, and what the test is told.
void echo_test::begin_playback(conference& c, slot& s) {
  const callsign speaker = callsign_of(s.header.data() + hdr::my_call);
  std::memcpy(s.header.data() + hdr::your_call, s.header.data() + hdr::my_call, call_size);
  put_callsign(s.header.data() + hdr::my_call, call_);
  send_back(c, s, s.header.data(), hdr::size, true);
  s.header_sent = true;
  c.out.stamped(shown::event, "Echo test from %.8s: %zu voice packets played back\n",
                printable(speaker).text, s.packets);
  if (!records_) return;
  record::bytes r = record::make(record::tag_ech);
  put_callsign(r.data() + record::call1, s.call1);
  put_callsign(r.data() + record::call2, s.call2);
  put_callsign(r.data() + record::my_call, speaker);
  const auto length = static_cast<std::uint32_t>(
      std::min<std::int64_t>(s.last_ms - s.start_ms, record::duration_cap));
  record::put_number(r, record::duration_ms, length, 3);
  c.net.send_to_log_server(r.data(), r.size());
}

// To a node at OutPort, as the relay sends; to a peer of another door
// through that door, in its framing.
void echo_test::send_back(conference& c, const slot& s, const std::uint8_t* data,
                          std::size_t length, bool header) {
  if (s.from.from_node())
    return send_with_retry(c, data, length, s.from.ip,
                           header ? relay_header_rule : relay_voice_rule);
  for (conference_door* d : c.doors) d->send_to(s.from, data, length);
}

// Sends what is due: the header at once, packet i at 20 ms x (i + 1). After a
// stall the packets that fell due are sent together rather than dropped. A
// failed send is reported and repeated as the relay's own.
void echo_test::play(conference& c, slot& s, std::int64_t now_ms) {
  if (!s.header_sent) begin_playback(c, s);
  while (s.sent < s.packets &&
         now_ms >= s.play_ms + static_cast<std::int64_t>(s.sent + 1) * echo_frame_ms)
    send_back(c, s, s.voice + s.sent++ * voice::size, voice::size, false);
  if (s.sent == s.packets) s.now = phase::free;
}

}  // namespace mirx
