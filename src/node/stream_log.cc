#include "node/stream_log.h"

#include <cstring>

#include "node/datagrams.h"

namespace mirx {
namespace {

// How often a table of the log's own is walked for silent streams while
// datagrams keep the loop awake; an idle loop wakes every 200 ms anyway.
constexpr std::int64_t scan_period_ms = 100;

}  // namespace

void stream_log::start(node_link& net, std::uint32_t heartbeat_s, std::int64_t bound_ms,
                       std::int64_t now_ms, live_streams* shared) {
  net_ = &net;
  if (shared == nullptr) {
    own_.start();
    shared = &own_;
  }
  table_ = shared;
  table_->add_reader(*this);
  open_ = 0;
  heartbeat_ms_ = heartbeat_s * 1000;
  bound_ms_ = bound_ms;
  next_heartbeat_ms_ = now_ms + heartbeat_ms_;
  next_scan_ms_ = now_ms;
  send_status(record::tag_run, now_ms, 0);
}

live_stream* stream_log::logged(const stream_origin& from) {
  if (open_ == 0) return nullptr;
  live_stream* s = table_->find(from);
  return s != nullptr && s->logged ? s : nullptr;
}

void stream_log::header_arrives(const stream_origin& from) {
  if (live_stream* s = logged(from)) end(*s, record::end_by_superseded);
}

void stream_log::header_relayed(const stream_origin& from, const record::bytes& acc,
                                std::int64_t now_ms, const std::uint8_t* header) {
  if (header != nullptr) {
    record::bytes r = acc;
    std::memcpy(r.data(), record::tag_hdr, 4);
    std::memcpy(r.data() + record::suffix, header + hdr::my_suffix, 4);
    std::memcpy(r.data() + record::your_call, header + hdr::your_call, call_size);
    net_->send_to_log_server(r.data(), r.size());
  }
  if (open_ == max_streams) return;
  live_stream* s = table_->open(from, now_ms);
  if (s == nullptr) return;
  if (!s->logged) ++open_;
  s->logged = true;
  s->last_ms = now_ms;
  s->log_start_ms = now_ms;
  s->log_voice_ms = now_ms;
  std::memcpy(s->who.data(), acc.data() + record::call1, s->who.size());
  s->my_call = callsign_of(acc.data() + record::my_call);
  s->text = {};
}

void stream_log::voice_relayed(const stream_origin& from, const std::uint8_t* packet,
                               std::int64_t now_ms) {
  live_stream* s = logged(from);
  if (s == nullptr) return;
  s->last_ms = now_ms;
  s->log_voice_ms = now_ms;
  if (s->text.feed(packet)) {
    record::bytes r = record::make(record::tag_txt);
    std::memcpy(r.data() + record::text_my_call, s->who.data() + (record::my_call - record::call1),
                call_size);
    std::memcpy(r.data() + record::text, s->text.text(), record::text_size);
    net_->send_to_log_server(r.data(), r.size());
  }
  if (voice::ends_stream(packet)) end(*s, record::end_by_mark);
}

void stream_log::end_stream(const stream_origin& from, std::uint8_t how) {
  if (live_stream* s = logged(from)) end(*s, how);
}

void stream_log::silent(live_stream& s) {
  if (s.logged) send_end(s, record::end_by_silence);
}

// Sends the END record of `s`, which is then no longer logged.
void stream_log::send_end(live_stream& s, std::uint8_t how) {
  record::bytes r = record::make(record::tag_end);
  r[record::end_how] = how;
  const std::int64_t length = s.log_voice_ms - s.log_start_ms;
  const std::uint32_t capped =
      length > record::duration_cap ? record::duration_cap : static_cast<std::uint32_t>(length);
  record::put_number(r, record::duration_ms, capped, 3);
  std::memcpy(r.data() + record::call1, s.who.data(), s.who.size());
  net_->send_to_log_server(r.data(), r.size());
  s.logged = false;
  --open_;
}

void stream_log::end(live_stream& s, std::uint8_t how) {
  send_end(s, how);
  table_->release(s);
}

bool stream_log::tick(std::int64_t now_ms, std::size_t table_size) {
  if (table_ == &own_ && open_ != 0 && now_ms >= next_scan_ms_) {
    next_scan_ms_ = now_ms + scan_period_ms;
    own_.end_silent(now_ms);
  }
  if (now_ms < next_heartbeat_ms_) return false;
  send_status(record::tag_hbt, now_ms, table_size);
  next_heartbeat_ms_ += heartbeat_ms_;
  // After a long stall the next beat keeps the period instead of bursting.
  if (next_heartbeat_ms_ <= now_ms) next_heartbeat_ms_ = now_ms + heartbeat_ms_;
  return true;
}

void stream_log::stop(std::int64_t now_ms, std::size_t table_size) {
  send_status(record::tag_off, now_ms, table_size);
}

void stream_log::send_status(const char (&tag_text)[5], std::int64_t now_ms,
                             std::size_t table_size) {
  record::bytes r = record::make(tag_text);
  record::put_number(r, record::table_size, static_cast<std::uint32_t>(table_size));
  record::put_number(r, record::seconds_up,
                     static_cast<std::uint32_t>((now_ms - bound_ms_) / 1000));
  record::put_number(r, record::streams_open, static_cast<std::uint32_t>(open_));
  record::put_number(r, record::heartbeat_s, heartbeat_ms_ / 1000);
  record::put_number(r, record::silence_ms, stream_silence_ms);
  net_->send_to_log_server(r.data(), r.size());
}

}  // namespace mirx
