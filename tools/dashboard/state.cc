#include "dashboard/state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "monitor/log_record.h"
#include "node/callsign.h"

namespace mirx::dashboard {
namespace {

call_value value_at(const std::uint8_t* field) {
  std::size_t n = 0;
  while (n < call_size && field[n] != 0) ++n;
  return call_value(reinterpret_cast<const char*>(field), n);
}

bool tagged(const std::uint8_t* data, const char (&tag)[5]) {
  return std::memcmp(data + record::tag, tag, 4) == 0;
}

void erase_row(state& s, std::map<call_value, node_row>::iterator row) {
  s.node_age.erase({row->second.since, row->first});
  s.nodes.erase(row);
}

outcome add_node(state& s, const std::uint8_t* data, millis now) {
  node_row row;
  row.call1 = value_at(data + record::call1);
  row.call2 = value_at(data + record::call2);
  std::memcpy(&row.ip, data + record::ip, 4);
  row.since = now;
  const bool known = s.nodes.count(row.call1) != 0;
  outcome o{known ? change::moved : change::added, row.call1};
  put_row(s, std::move(row));
  return o;
}

// What a NOD says that the row does not: a new row (when the node
// registered is unknown) or a node that moved while its ADD or DEL was lost.
outcome confirm_node(state& s, const std::uint8_t* data, millis) {
  node_row row;
  row.call1 = value_at(data + record::call1);
  row.call2 = value_at(data + record::call2);
  std::memcpy(&row.ip, data + record::ip, 4);
  ++s.nods;
  const auto old = s.nodes.find(row.call1);
  if (old == s.nodes.end()) {
    const call_value call1 = row.call1;
    put_row(s, std::move(row));
    return {change::added, call1};
  }
  node_row& shown = old->second;
  shown.confirmed_at = s.nods;
  if (shown.call2 == row.call2 && shown.ip == row.ip) return {change::confirmed, row.call1};
  shown.call2 = row.call2;
  shown.ip = row.ip;
  return {change::moved, row.call1};
}

outcome remove_node(state& s, const std::uint8_t* data) {
  const call_value call1 = value_at(data + record::call1);
  const auto row = s.nodes.find(call1);
  if (row == s.nodes.end()) return {change::unknown_removed, call1};
  erase_row(s, row);
  return {change::removed, call1};
}

void count_call(state& s, const heard_entry& h) {
  const auto old = std::find_if(s.calls.begin(), s.calls.end(),
                                [&](const heard_call& c) { return c.my_call == h.my_call; });
  std::uint32_t overs = 0;  // before this one, on its UTC day
  std::map<std::int64_t, std::uint32_t> quarters;
  if (old != s.calls.end()) {
    if (old->at / day_ms == h.at / day_ms) overs = old->overs_today;
    quarters = std::move(old->quarters);
    s.calls.erase(old);
  }
  ++quarters[h.at / quarter_ms];
  quarters.erase(quarters.begin(), quarters.lower_bound((h.at - day_ms) / quarter_ms + 1));
  s.calls.push_front(
      {h.my_call, h.call1, h.call2, h.at, overs + 1, no_duration, 0, std::move(quarters)});
  if (s.calls.size() > heard_limit) s.calls.pop_back();
}

outcome hear(state& s, const std::uint8_t* data, millis now) {
  heard_entry h{now, value_at(data + record::my_call), value_at(data + record::call1),
                value_at(data + record::call2)};
  if (auto row = s.nodes.find(h.call1); row != s.nodes.end()) {
    node_row& n = row->second;
    n.last_header = now;
    n.last_speaker = h.my_call;
    if (n.overs_day != now / day_ms) n.overs = 0, n.overs_day = now / day_ms;
    ++n.overs;
  }
  ++s.hours[now / hour_ms];
  prune_hours(s, now);
  outcome o{change::heard, h.call1};
  if (s.streams) {
    s.talking.push_back({h.my_call, h.call1, h.call2, now});
    if (s.talking.size() > talking_limit) {
      o.talks_gone.push_back(s.talking.front());
      s.talking.erase(s.talking.begin());
    }
  }
  count_call(s, h);
  s.heard.push_front(std::move(h));
  if (s.heard.size() > heard_limit) s.heard.pop_back();
  return o;
}

// Of the items for this speaker and node, the one whose start lies closest
// to `start`: end records may come before or after the next header from the
// same address, and one may be lost, so matching by time is what holds.
template <class items, class start_of>
auto closest(items& list, const call_value& call1, const call_value& my_call, millis start,
             start_of at) {
  auto best = list.end();
  millis best_gap = 0;
  for (auto i = list.begin(); i != list.end(); ++i) {
    if (i->call1 != call1 || i->my_call != my_call) continue;
    const millis gap = std::abs(at(*i) - start);
    if (best == list.end() || gap < best_gap) best = i, best_gap = gap;
  }
  return best;
}

outcome end_stream(state& s, const std::uint8_t* data, millis now) {
  s.streams = true;
  const call_value call1 = value_at(data + record::call1);
  const call_value my_call = value_at(data + record::my_call);
  const std::int64_t duration = record::get_number(data, record::duration_ms, 3);
  const millis start = now - duration;
  const auto talk_it =
      closest(s.talking, call1, my_call, start, [](const talk& t) { return t.since; });
  outcome o{change::ended, call1};
  if (talk_it != s.talking.end()) {
    o.talks_gone.push_back(*talk_it);
    s.talking.erase(talk_it);
  }
  const auto h = closest(s.heard, call1, my_call, start, [](const heard_entry& e) { return e.at; });
  if (h != s.heard.end()) {
    h->duration_ms = duration;
    h->ended_by = data[record::end_how];
    o.over = *h;
    for (heard_call& c : s.calls)
      if (c.my_call == my_call && c.at == h->at) c.duration_ms = duration, c.ended_by = h->ended_by;
  }
  return o;
}

// A stream dropped for want of its end record: its over says so.
void timed_out(state& s, const talk& t) {
  const auto h =
      closest(s.heard, t.call1, t.my_call, t.since, [](const heard_entry& e) { return e.at; });
  if (h == s.heard.end() || h->ended_by != 0) return;
  h->ended_by = ended_by_timeout;
  for (heard_call& c : s.calls)
    if (c.my_call == t.my_call && c.at == h->at) c.ended_by = ended_by_timeout;
}

// Rows a heartbeat shows the server no longer has, whose DEL was lost (or
// came while this dashboard was down, its rows read from a state file): all
// of them when the server's table is empty; otherwise those that two rounds
// of its re-announcement and one slice more passed over (a round is a NOD per
// entry, a slice at most 128 NODs after a heartbeat). So a row survives its
// NOD lost twice, or lost once and the walk shifted past it once by a table
// changing meanwhile, and a row the server no longer has goes at the 4th
// heartbeat after the last NOD that named it for a table of up to 128 entries
// (a round per heartbeat), after 2 * ceil(n / 128) + 2 beyond that. A server
// that sends no NOD leaves the rows alone.
std::vector<call_value> drop_unannounced(state& s) {
  const std::uint64_t entries = s.server.table_size;
  const std::uint64_t slice = std::min<std::uint64_t>(entries, 128);
  const std::uint64_t patience = 2 * entries + slice;
  std::vector<call_value> gone;
  for (auto row = s.nodes.begin(); row != s.nodes.end();) {
    const auto next = std::next(row);
    if (row->second.how != connection::node) {
      row = next;
      continue;
    }
    if (entries == 0 || s.nods - row->second.confirmed_at >= patience) {
      gone.push_back(row->first);
      erase_row(s, row);
    }
    row = next;
  }
  return gone;
}

// RUN, HBT and OFF share their layout.
outcome server_record(state& s, const std::uint8_t* data, millis now) {
  server_status& v = s.server;
  const auto number = [&](std::size_t at) { return record::get_number(data, at); };
  s.streams = true;
  v.table_size = number(record::table_size);
  v.streams_open = number(record::streams_open);
  v.heartbeat_s = number(record::heartbeat_s);
  v.silence_ms = number(record::silence_ms);
  v.up_since = now - static_cast<millis>(number(record::seconds_up)) * 1000;
  v.last_beat = now;
  v.stopped_at = 0;
  // A start or a stop ends every stream; a heartbeat the oldest of those
  // whose end records were lost, keeping as many as the server has open.
  const bool run = tagged(data, record::tag_run), off = tagged(data, record::tag_off);
  const std::size_t keep = run || off ? 0 : std::min<std::size_t>(s.talking.size(), v.streams_open);
  const auto kept = s.talking.end() - static_cast<std::ptrdiff_t>(keep);
  outcome o{run ? change::started : change::beat};
  o.talks_gone.assign(s.talking.begin(), kept);
  if (!run && !off)
    for (const talk& t : o.talks_gone) timed_out(s, t);
  s.talking.erase(s.talking.begin(), kept);
  if (run) {
    s.nodes.clear();
    s.node_age.clear();
  } else if (off) {
    v.stopped_at = now;
  } else {
    o.nodes_gone = drop_unannounced(s);
  }
  return o;
}

outcome note(state& s, conference_note n) {
  s.notes.push_front(std::move(n));
  if (s.notes.size() > heard_limit) s.notes.pop_back();
  return {change::noted, s.notes.front().call1};
}

// A talker refused while another held the conference: nobody heard it, so
// it is no over of the speaker's.
outcome refused(state& s, const std::uint8_t* data, millis now) {
  return note(s, {now, false, value_at(data + record::my_call), value_at(data + record::call1),
                  value_at(data + record::talker)});
}

// An echo test: its speaker talked to the server alone, so it is no over
// either.
outcome echo_played(state& s, const std::uint8_t* data, millis now) {
  return note(s, {now,
                  true,
                  value_at(data + record::my_call),
                  value_at(data + record::call1),
                  {},
                  record::get_number(data, record::duration_ms, 3)});
}

// DXC's and DXL's changes, as the door numbers them (record::peer_changes).
enum : std::uint8_t {
  peer_linked = 1,
  peer_unlinked = 2,
  peer_dropped = 3,
  peer_link_up = 7,
  peer_link_refused = 8,
  peer_link_lost = 9,
  peer_link_unknown = 10,
};

// The newest over of `my_call` (and of `call1`, when given) takes what an
// HDR or TXT record tells of it, and so does its speaker's row.
outcome detail(state& s, const call_value& my_call, const call_value* call1,
               void (*put)(over_details&, const std::uint8_t*), const std::uint8_t* data) {
  for (heard_entry& h : s.heard) {
    if (h.my_call != my_call || (call1 != nullptr && h.call1 != *call1)) continue;
    put(h.details, data);
    for (heard_call& c : s.calls)
      if (c.my_call == my_call && c.at == h.at) put(c.details, data);
    outcome o{change::detailed, h.call1};
    o.over = h;
    return o;
  }
  return {change::confirmed, {}};
}

outcome header_details(state& s, const std::uint8_t* data, millis) {
  const call_value call1 = value_at(data + record::call1);
  return detail(
      s, value_at(data + record::my_call), &call1,
      [](over_details& d, const std::uint8_t* r) {
        d.suffix = std::string(reinterpret_cast<const char*>(r + record::suffix), 4);
        d.suffix.resize(std::min(d.suffix.find('\0'), d.suffix.size()));
        d.your_call = value_at(r + record::your_call);
      },
      data);
}

outcome text_message(state& s, const std::uint8_t* data, millis) {
  return detail(
      s, value_at(data + record::text_my_call), nullptr,
      [](over_details& d, const std::uint8_t* r) {
        const char* text = reinterpret_cast<const char*>(r + record::text);
        d.text.assign(text, std::find(text, text + record::text_size, '\0'));
      },
      data);
}

// A DExtra client or link: a row while it is linked, none otherwise.
outcome dextra_peer(state& s, const std::uint8_t* data, millis now) {
  const unsigned what = data[record::peer_change];
  node_row row;
  row.call1 = value_at(data + record::call1);
  row.call2 = value_at(data + record::call2);
  std::memcpy(&row.ip, data + record::ip, 4);
  row.since = now;
  row.how = tagged(data, record::tag_dxc) ? connection::dextra_client : connection::dextra_link;
  row.module = static_cast<char>(data[record::peer_module]);
  const auto old = s.nodes.find(row.call1);
  // A DExtra change never takes the row of a node of the same call sign.
  if (old != s.nodes.end() && old->second.how == connection::node) return {change::confirmed, {}};
  const bool up = what == peer_linked || what == peer_link_up;
  if (!up) {
    const bool gone = what == peer_unlinked || what == peer_dropped || what == peer_link_lost ||
                      what == peer_link_unknown || what == peer_link_refused;
    if (!gone || old == s.nodes.end()) return {change::confirmed, {}};
    erase_row(s, old);
    return {change::removed, row.call1};
  }
  outcome o{old != s.nodes.end() ? change::moved : change::added, row.call1};
  if (old != s.nodes.end())
    row.last_header = old->second.last_header, row.last_speaker = old->second.last_speaker;
  put_row(s, std::move(row));
  return o;
}

void note_junk(junk_note& n, std::uint32_t source, millis now) {
  if (now - n.last > recent_ms) n.count = 0, n.first = now;
  ++n.count;
  n.last = now;
  n.from = source;
}

}  // namespace

outcome apply_datagram(state& s, const source_policy& policy, std::uint32_t source,
                       const std::uint8_t* data, std::size_t length, millis now) {
  if (!policy.from.empty() &&
      std::find(policy.from.begin(), policy.from.end(), source) == policy.from.end()) {
    ++s.count.rejected;
    note_junk(s.count.recent_rejected, source, now);
    return {change::rejected, {}};
  }
  static const struct {
    const char* tag;
    outcome (*apply)(state&, const std::uint8_t*, millis);
  } handlers[] = {
      {record::tag_add, add_node},
      {record::tag_nod, confirm_node},
      {record::tag_del, [](state& s, const std::uint8_t* d, millis) { return remove_node(s, d); }},
      {record::tag_acc, hear},
      {record::tag_end, end_stream},
      {record::tag_run, server_record},
      {record::tag_hbt, server_record},
      {record::tag_off, server_record},
      {record::tag_ref, refused},
      {record::tag_ech, echo_played},
      {record::tag_dxc, dextra_peer},
      {record::tag_dxl, dextra_peer},
      {record::tag_hdr, header_details},
      {record::tag_txt, text_message},
  };
  if (const record::kind* k = record::kind_of(data, length)) {
    ++s.count.records[record::index_of(*k)];
    s.last_record = now;
    for (const auto& h : handlers)
      if (std::memcmp(k->tag, h.tag, 4) == 0) return h.apply(s, data, now);
    return {change::confirmed, {}};  // a record this dashboard shows nothing of
  }
  ++s.count.malformed;
  note_junk(s.count.recent_malformed, source, now);
  return {change::malformed, {}};
}

void prune_hours(state& s, millis now) {
  const std::int64_t oldest = now / hour_ms - (hours_kept - 1);
  s.hours.erase(s.hours.begin(), s.hours.lower_bound(oldest));
}

void put_row(state& s, node_row row) {
  row.confirmed_at = s.nods;
  if (const auto old = s.nodes.find(row.call1); old != s.nodes.end()) erase_row(s, old);
  if (s.nodes.size() >= node_limit) {
    erase_row(s, s.nodes.find(s.node_age.begin()->second));
    ++s.count.rows_dropped;
  }
  s.node_age.insert({row.since, row.call1});
  const call_value key = row.call1;
  s.nodes[key] = std::move(row);
}

call_value trimmed(const call_value& c) {
  return c.substr(0, c.find_last_not_of(' ') + 1);
}

}  // namespace mirx::dashboard
