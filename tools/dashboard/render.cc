#include "dashboard/render.h"

#include <cstdio>
#include <ctime>

#include "monitor/log_record.h"
#include "platform/ipv4.h"
#include "platform/platform.h"

namespace mirx::dashboard {

using nlohmann::json;

std::string call_text(std::string_view value) {
  std::string out;
  for (char ch : value) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out += ch;
    } else {  // two-byte UTF-8 form of U+0080..U+00FF
      out += static_cast<char>(0xc0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3f));
    }
  }
  return out;
}

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is not one: no
// overlong form, no surrogate, nothing past U+10FFFF.
std::size_t sequence_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char b = byte(0);
  if (b < 0x80) return 1;
  const std::size_t n = b >= 0xc2 && b <= 0xdf   ? 2
                        : b >= 0xe0 && b <= 0xef ? 3
                        : b >= 0xf0 && b <= 0xf4 ? 4
                                                 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((byte(i) & 0xc0) != 0x80) return 0;
  const unsigned char second = byte(1);
  if ((b == 0xe0 && second < 0xa0) || (b == 0xed && second > 0x9f) ||
      (b == 0xf0 && second < 0x90) || (b == 0xf4 && second > 0x8f))
    return 0;
  return n;
}

}  // namespace

std::string valid_text(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = sequence_at(text, at);
    if (n == 0) return call_text(text);
    at += n;
  }
  return std::string(text);
}

std::optional<std::string> shown_address(std::uint32_t ip, address_mode mode) {
  if (mode == address_mode::none) return std::nullopt;
  std::string text = dotted(ip).text;
  if (mode == address_mode::network) {
    text.resize(text.rfind('.') + 1);  // the dotted text always holds three dots
    text += 'x';
  }
  return text;
}

std::string iso_time(millis t) {
  // Rounded down, so that a time before 1970 has its milliseconds from 0 to 999 too.
  const millis whole = t >= 0 ? t / 1000 : -((-t + 999) / 1000);
  const std::time_t seconds = static_cast<std::time_t>(whole);
  const std::tm utc = platform::utc_time(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(t - whole * 1000));
  return text;
}

namespace {

json optional_time(millis t) {
  return t == 0 ? json(nullptr) : json(iso_time(t));
}

json address_json(std::uint32_t ip, address_mode mode) {
  const auto shown = shown_address(ip, mode);
  return shown ? json(*shown) : json(nullptr);
}

}  // namespace

// A call-sign field as given, and beside it without trailing spaces.
void put_call(json& j, const std::string& name, const call_value& value) {
  j[name] = call_text(value);
  j[name + "_trimmed"] = call_text(trimmed(value));
}

const char* connection_name(connection how) {
  static const char* names[] = {"node", "dextra_client", "dextra_link"};
  return names[static_cast<int>(how)];
}

json node_json(const node_row& n, const view& v) {
  json last = nullptr;
  if (n.last_header != 0)
    last = {{"at", iso_time(n.last_header)}, {"my_call", call_text(n.last_speaker)}};
  json j = {{"address", address_json(n.ip, v.addresses)},
            {"since", optional_time(n.since)},
            {"last_header", last},
            {"connection", connection_name(n.how)},
            {"overs", n.overs},
            {"overs_day", n.overs == 0 ? json(nullptr) : json(iso_time(n.overs_day * day_ms))},
            {"module", n.module ? json(call_text(std::string(1, n.module))) : json(nullptr)}};
  put_call(j, "call1", n.call1);
  put_call(j, "call2", n.call2);
  return j;
}

namespace {

json duration_json(std::int64_t ms) {
  return ms == no_duration ? json(nullptr) : json(ms);
}

json ended_by_json(int how) {
  const record::end_way* w = record::end_way_of(static_cast<unsigned>(how));
  return w != nullptr ? json(w->key) : json(nullptr);
}

// call1/call2/my_call of a record-derived item, each with its trimmed twin.
template <class item>
json calls_of(const item& i) {
  json j = json::object();
  put_call(j, "my_call", i.my_call);
  put_call(j, "call1", i.call1);
  put_call(j, "call2", i.call2);
  return j;
}

json text_or_null(const std::string& value) {
  return value.empty() ? json(nullptr) : json(call_text(value));
}

// An over's suffix, your_call and text message, each null until known;
// bytes as in call signs.
void put_details(json& j, const over_details& d) {
  j["suffix"] = text_or_null(d.suffix);
  j["your_call"] = text_or_null(d.your_call);
  j["message"] = text_or_null(d.text);
}

json talk_json(const talk& t) {
  json j = calls_of(t);
  j["since"] = iso_time(t.since);
  return j;
}

// A refused talker or an echo test, for the page's list of what the
// conference rules did.
json note_json(const conference_note& n) {
  json j = {{"at", iso_time(n.at)}, {"kind", n.echo ? "echo" : "refused"}};
  put_call(j, "my_call", n.my_call);
  put_call(j, "call1", n.call1);
  if (n.echo)
    j["duration_ms"] = n.duration_ms;
  else
    put_call(j, "talker", n.talker);
  return j;
}

json junk_json(const junk_note& n, const view& v, millis now) {
  if (n.count == 0 || (now != 0 && now - n.last > recent_ms)) return nullptr;
  return {{"count", n.count},
          {"first", iso_time(n.first)},
          {"last", iso_time(n.last)},
          {"from", address_json(n.from, v.addresses)}};
}

}  // namespace

json heard_json(const heard_entry& h, const state& s) {
  json j = calls_of(h);
  j["at"] = iso_time(h.at);
  j["registered"] = s.nodes.count(h.call1) != 0;
  j["duration_ms"] = duration_json(h.duration_ms);
  j["ended_by"] = ended_by_json(h.ended_by);
  put_details(j, h.details);
  return j;
}

json heard_call_json(const heard_call& c, millis now) {
  json j = calls_of(c);
  j["at"] = iso_time(c.at);
  j["overs_today"] = c.at / day_ms == now / day_ms ? c.overs_today : 0;
  j["duration_ms"] = duration_json(c.duration_ms);
  j["ended_by"] = ended_by_json(c.ended_by);
  json quarters = json::array();
  for (auto q = c.quarters.upper_bound((now - day_ms) / quarter_ms); q != c.quarters.end(); ++q)
    quarters.push_back({q->first, q->second});
  j["overs_by_quarter"] = std::move(quarters);
  put_details(j, c.details);
  return j;
}

json talking_json(const state& s) {
  json list = json::array();
  for (const talk& t : s.talking) list.push_back(talk_json(t));
  return list;
}

json server_json(const state& s) {
  if (!s.streams) return nullptr;
  const server_status& v = s.server;
  return {{"up_since", optional_time(v.up_since)},
          {"last_heartbeat", optional_time(v.last_beat)},
          {"stopped_at", optional_time(v.stopped_at)},
          {"heartbeat_seconds", v.heartbeat_s},
          {"silence_ms", v.silence_ms},
          {"table_size", v.table_size},
          {"streams_open", v.streams_open}};
}

json feed_json(const state& s, const view& v, millis now) {
  const feed_counters& c = s.count;
  json records = json::object();
  for (const record::kind& k : record::kinds)
    records[std::string(k.name())] = c.records[record::index_of(k)];
  return {{"last_record", optional_time(s.last_record)},
          {"records", std::move(records)},
          {"rejected", c.rejected},
          {"malformed", c.malformed},
          {"rows_dropped", c.rows_dropped},
          {"recent_rejected", junk_json(c.recent_rejected, v, now)},
          {"recent_malformed", junk_json(c.recent_malformed, v, now)}};
}

json hourly_json(const state& s, millis now) {
  json hours = json::array();
  const std::int64_t current = now / hour_ms;
  for (std::int64_t h = current - (hours_kept - 1); h <= current; ++h) {
    const auto found = s.hours.find(h);
    hours.push_back(
        {{"hour", iso_time(h * hour_ms)}, {"headers", found == s.hours.end() ? 0 : found->second}});
  }
  return hours;
}

json state_json(const state& s, const view& v, millis now) {
  static const char* mode_names[] = {"none", "network", "full"};
  json nodes = json::array();
  for (const auto& [call1, row] : s.nodes) nodes.push_back(node_json(row, v));
  json heard = json::array(), calls = json::array(), notes = json::array();
  for (const heard_entry& h : s.heard) heard.push_back(heard_json(h, s));
  for (const conference_note& n : s.notes) notes.push_back(note_json(n));
  for (const heard_call& c : s.calls) calls.push_back(heard_call_json(c, now));
  return {{"version", schema_version},
          {"title", v.title},
          {"now", iso_time(now)},
          {"watching_since", iso_time(s.watching_since)},
          {"state_kept", v.state_kept},
          {"address_display", mode_names[static_cast<int>(v.addresses)]},
          {"on_air_seconds", v.on_air_seconds},
          {"silence_warning_seconds", v.silence_warn_seconds},
          {"limits",
           {{"last_heard", heard_limit},
            {"hours", hours_kept},
            {"node_rows", node_limit},
            {"recent_junk_seconds", recent_ms / 1000}}},
          {"streams", s.streams},
          {"server", server_json(s)},
          {"feed", feed_json(s, v, now)},
          {"talking", talking_json(s)},
          {"nodes", nodes},
          {"last_heard", heard},
          {"heard_by_call", calls},
          {"conference_notes", std::move(notes)},
          {"hourly", hourly_json(s, now)}};
}

namespace {

// The streams an outcome ended, and for a header the one it began.
void put_talks(json& c, const state& s, const outcome& o) {
  if (!o.talks_gone.empty()) {
    json gone = json::array();
    for (const talk& t : o.talks_gone) gone.push_back(talk_json(t));
    c["talks_gone"] = std::move(gone);
  }
  if (o.what == change::heard && s.streams && !s.talking.empty())
    c["talk"] = talk_json(s.talking.back());
}

// An end record's duration for the over it ended, as the page's list of
// speakers keys it: the speaker and when the over began.
void put_duration(json& c, const outcome& o) {
  if (o.over.duration_ms == no_duration) return;
  c["over_ended"] = {{"my_call", call_text(o.over.my_call)},
                     {"at", iso_time(o.over.at)},
                     {"duration_ms", o.over.duration_ms},
                     {"ended_by", ended_by_json(o.over.ended_by)}};
}

}  // namespace

json change_json(const state& s, const outcome& o, const view& v, millis now) {
  json c = {{"type", "change"}, {"now", iso_time(now)}, {"feed", feed_json(s, v, now)}};
  const auto row = s.nodes.find(o.call1);
  switch (o.what) {
    case change::added:
    case change::moved:
      c["node"] = node_json(row->second, v);
      break;
    case change::removed:
      c["removed"] = call_text(o.call1);
      break;
    case change::heard:
      c["heard"] = heard_json(s.heard.front(), s);
      if (row != s.nodes.end()) c["node"] = node_json(row->second, v);
      c["hour"] = {{"hour", iso_time(now / hour_ms * hour_ms)},
                   {"headers", s.hours.at(now / hour_ms)}};
      c["heard_call"] = heard_call_json(s.calls.front(), now);
      break;
    case change::ended:
      put_duration(c, o);
      break;
    case change::detailed:
      c["over_details"] = {{"my_call", call_text(o.over.my_call)}, {"at", iso_time(o.over.at)}};
      put_details(c["over_details"], o.over.details);
      break;
    case change::noted:
      c["note"] = note_json(s.notes.front());
      break;
    case change::started:  // the restarted server's table starts empty
      c["nodes_cleared"] = true;
      [[fallthrough]];
    case change::beat:
      c["server"] = server_json(s);
      c["streams"] = s.streams;
      if (!o.nodes_gone.empty()) {
        json gone = json::array();
        for (const call_value& call1 : o.nodes_gone) gone.push_back(call_text(call1));
        c["nodes_gone"] = std::move(gone);
      }
      break;
    default:
      break;
  }
  put_talks(c, s, o);
  return c;
}

}  // namespace mirx::dashboard
